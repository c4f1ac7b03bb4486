// A node-opcua client holding the subscription bench_subscribe holds, for a yardstick of client
// CPU per reported change: s=Bulk.0 .. s=Bulk.<TAGS - 1> monitored with sampling interval 0 and
// queue size 1, published once a second. Once every item has reported its first value, counts
// the changes reported for SECONDS and prints one JSON line: {"cpu_s": ..., "changes": ...},
// the CPU this process used (user and system) over that time.
//
//   node --expose-gc subscribe_client.js ENDPOINT TAGS SECONDS
"use strict";
const {
    OPCUAClient,
    ClientMonitoredItemGroup,
    AttributeIds,
    TimestampsToReturn,
} = require("node-opcua-client");

const NAMESPACE = 2;

async function main() {
    const [endpoint, tagsText, secondsText] = process.argv.slice(2);
    const tags = Number(tagsText);
    const seconds = Number(secondsText);
    if (!endpoint || !(tags > 0) || !(seconds > 0)) {
        throw new Error("usage: node subscribe_client.js ENDPOINT TAGS SECONDS");
    }
    const client = OPCUAClient.create({
        endpointMustExist: false,
        connectionStrategy: { maxRetry: 1, initialDelay: 100, maxDelay: 500 },
    });
    await client.connect(endpoint);
    const session = await client.createSession();
    const subscription = await session.createSubscription2({
        requestedPublishingInterval: 1000,
        requestedMaxKeepAliveCount: 5,
        requestedLifetimeCount: 300,
        maxNotificationsPerPublish: 0,
        publishingEnabled: true,
        priority: 0,
    });
    const items = [];
    for (let k = 0; k < tags; ++k) {
        items.push({ nodeId: `ns=${NAMESPACE};s=Bulk.${k}`, attributeId: AttributeIds.Value });
    }
    let changes = 0;
    const group = ClientMonitoredItemGroup.create(
        subscription,
        items,
        { samplingInterval: 0, queueSize: 1, discardOldest: true },
        TimestampsToReturn.Both
    );
    group.on("changed", () => {
        ++changes;
    });
    // First values in before the clock runs, as the bench does for its own client.
    const started = Date.now();
    while (changes < tags && Date.now() - started < 60000) {
        await new Promise((resolve) => setTimeout(resolve, 100));
    }
    // The garbage of creating the items collected now (with node --expose-gc), not while
    // counting: the figure is the steady cost of the changes.
    await new Promise((resolve) => setTimeout(resolve, 2000));
    if (global.gc) {
        global.gc();
    }
    changes = 0;
    const cpu0 = process.cpuUsage();
    await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
    const cpu = process.cpuUsage(cpu0);
    const counted = changes;
    process.stdout.write(JSON.stringify({ cpu_s: (cpu.user + cpu.system) / 1e6, changes: counted }) + "\n");
    await subscription.terminate();
    await session.close();
    await client.disconnect();
}

main().then(
    () => process.exit(0),
    (err) => {
        process.stderr.write(`subscribe_client: ${err.message}\n`);
        process.exit(1);
    }
);
