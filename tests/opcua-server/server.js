#!/usr/bin/env node
// OPC UA test server for Vantrel's integration tests, benchmarks and manual checks of
// qev-read. Loopback only; SecurityPolicy None and anonymous unless told otherwise. Every limit that matters to a
// client (node count per Read, chunk and message sizes, channel token lifetime) is a
// command-line option, so the same server stands in for "some other vendor's server".
//
//   node server.js --pki DIR [--port N] [--extra-nodes N] [--changing-percent P]
//                  [--max-nodes-per-read N] [--buffer-size BYTES] [--max-message-size BYTES] [--max-chunk-count N]
//                  [--token-lifetime MS] [--max-sessions N] [--host ADDR] [--exit-with-parent]
//                  [--security POLICY:MODE,...] [--users NAME:PASSWORD,...] [--no-anonymous]
//                  [--browse-nodes N] [--max-references-per-node N] [--max-nodes-per-browse N]
//                  [--max-browse-continuation-points N] [--browse-tree-nodes N]
//                  [--leading-namespaces N] [--custom-types] [--max-monitored-items-per-call N]
//                  [--max-monitored-items-per-subscription N] [--allow-anonymous-transfer]
//                  [--counter-tags N] [--status-file PATH] [--max-session-timeout MS]
//                  [--max-publish-requests N]
//
// --counter-tags adds the folder Counter: N Double variables s=Counter.<k> that all read the
// current Unix time in whole seconds, set once a second on the second with that second as
// their source time; the count goes on across a restart of the server, so a collector's
// stored rows show each gap and each double. --status-file names a file rewritten twice a
// second with the server's sessions as JSON (name, age, idle time, timeout of each), for a
// script that watches which sessions a client leaves behind. --max-session-timeout caps the
// session timeout a client asks for, so that a test sees sessions time out in seconds.
// --max-publish-requests is how many Publish requests a session may keep queued on the server;
// past it the oldest is answered BadTooManyPublishRequests.
// --browse-nodes adds the Browse folder (N variables in Browse/Wide, a reference cycle,
// Chinese names, node ids that are awkward to write as tags; see opcua_test_server.h).
// --max-references-per-node caps the references of one node in a Browse answer, so that the
// rest needs continuation points; --max-nodes-per-browse is the server's MaxNodesPerBrowse;
// --max-browse-continuation-points how many continuation points a session may hold.
// --browse-tree-nodes adds the folder Tree under Objects: about N Double variables three
// folder levels down (Tree/A<i>/B<j>/V<k>), for a browse the size of a real plant.
// --custom-types adds the folder Custom: variables of the server's own data types, derived
// from Double (one and two levels down) and from String (see opcua_test_server.h).
// --leading-namespaces registers N other namespaces before the test nodes' one, so that the
// test nodes' index is 2 + N: a server restarted with its namespaces in another order. Each
// holds a variable s=Demo.Double too (reading -1 - k in the k-th), so that a tag naming the
// old index reads the wrong node, as it would on a real server.
// --changing-percent gives P % of the Bulk nodes a new value every second (default 0: they
// keep reading k), taking turns along the list, so that a benchmark sees a plant that moves.
// --security lists the endpoints, e.g. "None:None,Basic256Sha256:SignAndEncrypt" (default
// None:None); --users the accepted user names (the password is what follows the first ':').
// Client certificates are accepted automatically; the server's own certificate is in
// <pki>/server/own/certs/.
//
// Prints "VANTREL-OPCUA-TEST-SERVER READY <endpoint> ns=<index>" once it listens.
// The node list is documented in tests/support/opcua_test_server.h.
"use strict";

const path = require("path");
const fs = require("fs");

function usage(message) {
    if (message) process.stderr.write(`server.js: ${message}\n`);
    (message ? process.stderr : process.stdout).write(
        "usage: node server.js --pki DIR [--port N] [--extra-nodes N] [--changing-percent P]\n" +
            "       [--max-nodes-per-read N] [--buffer-size BYTES] [--max-message-size BYTES] [--max-chunk-count N]\n" +
            "       [--token-lifetime MS] [--max-sessions N] [--host ADDR] [--exit-with-parent]\n" +
            "       [--security POLICY:MODE,...] [--users NAME:PASSWORD,...] [--no-anonymous]\n" +
            "       [--browse-nodes N] [--max-references-per-node N] [--max-nodes-per-browse N]\n" +
            "       [--max-browse-continuation-points N] [--browse-tree-nodes N]\n" +
            "       [--leading-namespaces N] [--custom-types] [--max-monitored-items-per-call N]\n" +
            "       [--max-monitored-items-per-subscription N] [--allow-anonymous-transfer]\n" +
            "       [--counter-tags N] [--status-file PATH] [--max-session-timeout MS]\n" +
            "       [--max-publish-requests N]\n"
    );
    process.exit(message ? 2 : 0);
}

function parseArgs(argv) {
    const opts = {
        port: 4840,
        host: "127.0.0.1",
        pki: "",
        extraNodes: 0,
        changingPercent: 0,
        maxNodesPerRead: 0,
        bufferSize: 0,
        maxMessageSize: 0,
        maxChunkCount: 0,
        tokenLifetime: 0,
        maxSessions: 100,
        exitWithParent: false,
        security: "None:None",
        users: "",
        anonymous: true,
        allowAnonymousTransfer: false,
        browseNodes: 0,
        maxReferencesPerNode: 0,
        maxNodesPerBrowse: 0,
        maxBrowseContinuationPoints: 0,
        browseTreeNodes: 0,
        leadingNamespaces: 0,
        customTypes: false,
        maxMonitoredItemsPerCall: 0,
        maxMonitoredItemsPerSubscription: 0,
        counterTags: 0,
        statusFile: "",
        maxSessionTimeout: 0,
        maxPublishRequests: 0,
    };
    const numeric = {
        "--port": "port",
        "--extra-nodes": "extraNodes",
        "--changing-percent": "changingPercent",
        "--max-nodes-per-read": "maxNodesPerRead",
        "--buffer-size": "bufferSize",
        "--max-message-size": "maxMessageSize",
        "--max-chunk-count": "maxChunkCount",
        "--token-lifetime": "tokenLifetime",
        "--max-sessions": "maxSessions",
        "--browse-nodes": "browseNodes",
        "--max-references-per-node": "maxReferencesPerNode",
        "--max-nodes-per-browse": "maxNodesPerBrowse",
        "--max-browse-continuation-points": "maxBrowseContinuationPoints",
        "--browse-tree-nodes": "browseTreeNodes",
        "--leading-namespaces": "leadingNamespaces",
        "--max-monitored-items-per-call": "maxMonitoredItemsPerCall",
        "--max-monitored-items-per-subscription": "maxMonitoredItemsPerSubscription",
        "--counter-tags": "counterTags",
        "--max-session-timeout": "maxSessionTimeout",
        "--max-publish-requests": "maxPublishRequests",
    };
    for (let i = 2; i < argv.length; ++i) {
        const arg = argv[i];
        if (arg === "--help" || arg === "-h") {
            usage("");
        } else if (arg === "--exit-with-parent") {
            opts.exitWithParent = true;
        } else if (arg === "--allow-anonymous-transfer") {
            opts.allowAnonymousTransfer = true;
        } else if (arg === "--no-anonymous") {
            opts.anonymous = false;
        } else if (arg === "--custom-types") {
            opts.customTypes = true;
        } else if (arg === "--pki" || arg === "--host" || arg === "--security" || arg === "--users") {
            if (i + 1 >= argv.length) usage(`${arg} needs a value`);
            opts[arg.slice(2)] = argv[++i];
        } else if (arg === "--status-file") {
            if (i + 1 >= argv.length) usage(`${arg} needs a value`);
            opts.statusFile = argv[++i];
        } else if (numeric[arg] !== undefined) {
            if (i + 1 >= argv.length) usage(`${arg} needs a value`);
            const value = Number(argv[++i]);
            if (!Number.isInteger(value) || value < 0) usage(`${arg} needs a non-negative integer`);
            opts[numeric[arg]] = value;
        } else {
            usage(`unknown argument ${arg}`);
        }
    }
    if (!opts.pki) usage("--pki DIR is required (the certificate folders go there)");
    if (opts.changingPercent > 100) usage("--changing-percent must be at most 100");
    if (opts.bufferSize !== 0 && opts.bufferSize < 8192) usage("--buffer-size must be at least 8192");
    return opts;
}

const opts = parseArgs(process.argv);
// With --exit-with-parent (what the test fixture passes), exit when stdin closes or the
// parent goes away: nothing in a test run may leave a server behind. Without it the server
// runs until it is stopped, for manual checks.
if (opts.exitWithParent) {
    // Taken before the slow start-up below, so a parent that dies meanwhile is noticed.
    const parentPid = process.ppid;
    setInterval(() => {
        if (process.ppid !== parentPid) process.exit(0);
    }, 500).unref();
    process.stdin.on("end", () => process.exit(0));
    process.stdin.on("close", () => process.exit(0));
    process.stdin.on("error", () => process.exit(0));
    process.stdin.resume();
}
const pkiRoot = path.resolve(opts.pki);
fs.mkdirSync(pkiRoot, { recursive: true });
// node-opcua falls back to folders under the home directory for anything not given a root
// of its own; point every such default into the caller's folder as well.
process.env.HOME = pkiRoot;
process.env.XDG_CONFIG_HOME = path.join(pkiRoot, "config");
process.env.XDG_DATA_HOME = path.join(pkiRoot, "data");

const {
    OPCUAServer,
    OPCUACertificateManager,
    DataType,
    DataValue,
    Variant,
    StatusCodes,
    SecurityPolicy,
    MessageSecurityMode,
    nodesets,
} = require("node-opcua");

// An abrupt stop is what tests want from SIGTERM: it looks like a crashed or unplugged server.
process.on("SIGTERM", () => process.exit(0));
process.on("SIGINT", () => process.exit(0));

function adjustLimits(hello) {
    const cap = (asked, limit) => (limit > 0 ? (asked > 0 ? Math.min(asked, limit) : limit) : asked);
    const receiveBufferSize = cap(hello.receiveBufferSize || 65536, opts.bufferSize);
    const sendBufferSize = cap(hello.sendBufferSize || 65536, opts.bufferSize);
    const maxMessageSize = cap(hello.maxMessageSize, opts.maxMessageSize || 16 * 1024 * 1024);
    const maxChunkCount = cap(hello.maxChunkCount, opts.maxChunkCount || 0);
    return { receiveBufferSize, sendBufferSize, maxMessageSize, maxChunkCount };
}

function addConstant(namespace, parent, id, dataType, value, statusCode, sourceTimestamp) {
    const variable = namespace.addVariable({
        componentOf: parent,
        nodeId: `ns=${namespace.index};${id}`,
        browseName: id.slice(2),
        dataType,
    });
    variable.setValueFromSource(
        new Variant({ dataType: DataType[dataType], value }),
        statusCode || StatusCodes.Good,
        sourceTimestamp || new Date()
    );
    return variable;
}

function addComputed(namespace, parent, id, dataType, compute, withSourceTimestamp = true) {
    return namespace.addVariable({
        componentOf: parent,
        nodeId: `ns=${namespace.index};${id}`,
        browseName: id.slice(2),
        dataType,
        // Read calls the getter every time; the interval only matters to subscriptions.
        minimumSamplingInterval: 100,
        value: {
            timestamped_get: () =>
                new DataValue({
                    value: new Variant({ dataType: DataType[dataType], value: compute() }),
                    statusCode: StatusCodes.Good,
                    sourceTimestamp: withSourceTimestamp ? new Date() : null,
                }),
        },
    });
}

// Each second the next share of `nodes` reads a new value, k + the number of that second, so
// that every node changes as often as every other and a changed value never repeats.
function changeEverySecond(nodes, percent) {
    const share = Math.round((nodes.length * percent) / 100);
    if (share === 0) return;
    let next = 0;
    let tick = 0;
    setInterval(() => {
        ++tick;
        const now = new Date();
        for (let i = 0; i < share; ++i) {
            const k = (next + i) % nodes.length;
            nodes[k].setValueFromSource(
                new Variant({ dataType: DataType.Double, value: k + tick }), StatusCodes.Good, now);
        }
        next = (next + share) % nodes.length;
    }, 1000);
}

function buildAddressSpace(server) {
    const addressSpace = server.engine.addressSpace;
    const objects = addressSpace.rootFolder.objects;
    for (let k = 0; k < opts.leadingNamespaces; ++k) {
        const other = addressSpace.registerNamespace(`urn:vantrel:test-server:other${k}`);
        const folder = other.addObject({ organizedBy: objects, browseName: `Other${k}` });
        addConstant(other, folder, "s=Demo.Double", "Double", -1 - k);
    }
    const namespace = addressSpace.registerNamespace("urn:vantrel:test-server:nodes");
    const demo = namespace.addObject({ organizedBy: objects, browseName: "Demo" });

    addConstant(namespace, demo, "s=Demo.Double", "Double", 3.25);
    addConstant(namespace, demo, "s=Demo.Float", "Float", 1.5);
    addConstant(namespace, demo, "s=Demo.Int32", "Int32", -42);
    addConstant(namespace, demo, "s=Demo.UInt16", "UInt16", 65535);
    addConstant(namespace, demo, "s=Demo.Byte", "Byte", 200);
    addConstant(namespace, demo, "s=Demo.Boolean", "Boolean", true);
    addConstant(namespace, demo, "s=Demo.String", "String", "hello");
    addConstant(namespace, demo, "s=Demo.BadStatus", "Double", 0, StatusCodes.BadSensorFailure);
    addConstant(namespace, demo, "s=Demo.UncertainStatus", "Double", 7.5,
        StatusCodes.UncertainLastUsableValue);
    addConstant(namespace, demo, "s=Demo.Timestamped", "Double", 1,
        StatusCodes.Good, new Date(Date.UTC(2020, 0, 2, 3, 4, 5, 678)));
    addComputed(namespace, demo, "s=Demo.NoSourceTimestamp", "Double", () => 2, false);
    addConstant(namespace, demo, "s=Plant;Area=1:Pump", "Double", 11);
    addConstant(namespace, demo, "i=1001", "Double", 1001.5);
    addConstant(namespace, demo, "g=72962B91-FA75-4AE6-8D28-B404DC7DAF63", "Double", 9);
    addConstant(namespace, demo, "b=VmFudHJlbA==", "Double", 8);

    let reads = 0;
    addComputed(namespace, demo, "s=Demo.Counter", "UInt32", () => ++reads);

    // The same names as the built-in DA simulation, so the same tag lists work on both.
    const started = Date.now();
    const seconds = () => (Date.now() - started) / 1000;
    for (let k = 1; k <= 4; ++k) {
        addComputed(namespace, demo, `s=Demo.Count${k}`, "Double", () => Math.floor(seconds()) * k);
    }
    for (let k = 1; k <= 10; ++k) {
        addComputed(namespace, demo, `s=Demo.Random${k}`, "Double", () => Math.random() * 100);
        addComputed(namespace, demo, `s=Demo.Tag${k}`, "Double",
            () => 50 * Math.sin((2 * Math.PI * seconds()) / (10 * k)));
    }
    addComputed(namespace, demo, "s=Demo.CCCTag10", "Double",
        () => 50 * Math.sin((2 * Math.PI * seconds()) / 60) + 50);

    // Values set as they change, for subscriptions: a counter one more every 100 ms, and a
    // ramp of 0.5 a step (with and without an EURange, for deadbands in percent of it).
    const fast = addConstant(namespace, demo, "s=Demo.Fast", "Double", 0);
    const ramp = addConstant(namespace, demo, "s=Demo.Ramp", "Double", 0);
    const analogRamp = namespace.addAnalogDataItem({
        componentOf: demo,
        nodeId: `ns=${namespace.index};s=Demo.AnalogRamp`,
        browseName: "AnalogRamp",
        dataType: "Double",
        engineeringUnitsRange: { low: 0, high: 100 },
        value: new Variant({ dataType: DataType.Double, value: 0 }),
    });
    let steps = 0;
    setInterval(() => {
        ++steps;
        const now = new Date();
        const level = (steps * 0.5) % 100;
        fast.setValueFromSource(new Variant({ dataType: DataType.Double, value: steps }), StatusCodes.Good, now);
        ramp.setValueFromSource(new Variant({ dataType: DataType.Double, value: level }), StatusCodes.Good, now);
        analogRamp.setValueFromSource(new Variant({ dataType: DataType.Double, value: level }), StatusCodes.Good, now);
    }, 100);

    // Bulk.<k> reads k, so a test can check each of thousands of values by its name.
    if (opts.extraNodes > 0) {
        const bulk = namespace.addObject({ organizedBy: objects, browseName: "Bulk" });
        const nodes = [];
        for (let k = 0; k < opts.extraNodes; ++k) {
            nodes.push(addConstant(namespace, bulk, `s=Bulk.${k}`, "Double", k));
        }
        changeEverySecond(nodes, opts.changingPercent);
    }

    if (opts.counterTags > 0) {
        addCounters(namespace, objects);
    }
    if (opts.browseNodes > 0) {
        addBrowseNodes(namespace, objects);
    }
    if (opts.browseTreeNodes > 0) {
        addBrowseTree(namespace, objects);
    }
    if (opts.customTypes) {
        addCustomTypes(namespace, objects);
    }

    // What a test needs to see from the server's side.
    const test = namespace.addObject({ organizedBy: objects, browseName: "Test" });
    addComputed(namespace, test, "s=Test.SessionCount", "UInt32", () => server.currentSessionCount);
    addComputed(namespace, test, "s=Test.ChannelCount", "UInt32", () => server.currentChannelCount);
    addComputed(namespace, test, "s=Test.MaxTokenCount", "UInt32", () => {
        let most = 0;
        for (const endpoint of server.endpoints) {
            for (const channel of endpoint.getChannels()) {
                most = Math.max(most, channel.securityTokenCount);
            }
        }
        return most;
    });
    return namespace.index;
}

// Counter.<k> reads the Unix time in whole seconds, stamped with that second: a stored row's
// value says which second it was read in, whichever server process served it.
function addCounters(namespace, objects) {
    const ns = namespace.index;
    const folder = namespace.addObject({ organizedBy: objects, browseName: "Counter", nodeId: `ns=${ns};s=Counter` });
    const counters = [];
    for (let k = 1; k <= opts.counterTags; ++k) {
        counters.push(addConstant(namespace, folder, `s=Counter.${k}`, "Double", 0));
    }
    let last = 0;
    const tick = () => {
        const second = Math.floor(Date.now() / 1000);
        if (second !== last) {
            last = second;
            const stamp = new Date(second * 1000);
            for (const counter of counters) {
                counter.setValueFromSource(new Variant({ dataType: DataType.Double, value: second }),
                    StatusCodes.Good, stamp);
            }
        }
        // Aimed just past the next whole second, so that timer drift never skips one.
        setTimeout(tick, 1000 - (Date.now() % 1000) + 5);
    };
    tick();
}

// The sessions as a watching script sees them; written aside and renamed, so a reader never
// sees half a file.
function writeStatusEvery(server, file) {
    const write = () => {
        const sessions = server.engine.getSessions().map((s) => ({
            name: s.sessionName,
            id: s.nodeId.toString(),
            created_ms: s.creationDate.getTime(),
            idle_ms: s.clientLastContactTime,
            timeout_ms: s.sessionTimeout,
            status: String(s.status),
        }));
        const text = JSON.stringify({ pid: process.pid, time_ms: Date.now(), sessions,
            channels: server.currentChannelCount });
        try {
            fs.writeFileSync(`${file}.tmp`, text + "\n");
            fs.renameSync(`${file}.tmp`, file);
        } catch (err) {
            process.stderr.write(`server.js: cannot write ${file}: ${err}\n`);
        }
    };
    write();
    setInterval(write, 500);
}

// Variables of the server's own data types: a collector stores the numeric ones however far
// down their type is derived.
function addCustomTypes(namespace, objects) {
    const ns = namespace.index;
    const custom = namespace.addObject({ organizedBy: objects, browseName: "Custom", nodeId: `ns=${ns};s=Custom` });
    const temperature = namespace.createDataType({
        browseName: "Temperature", isAbstract: false, subtypeOf: "Double", nodeId: `ns=${ns};s=Type.Temperature` });
    const celsius = namespace.createDataType({
        browseName: "Celsius", isAbstract: false, subtypeOf: temperature, nodeId: `ns=${ns};i=3001` });
    const label = namespace.createDataType({
        browseName: "Label", isAbstract: false, subtypeOf: "String", nodeId: `ns=${ns};s=Type.Label` });
    const add = (id, dataType, builtIn, value) => {
        const variable = namespace.addVariable({
            componentOf: custom, nodeId: `ns=${ns};${id}`, browseName: id.slice(2), dataType });
        variable.setValueFromSource(new Variant({ dataType: DataType[builtIn], value }));
    };
    add("s=Custom.Temperature", temperature, "Double", 21.5);
    add("s=Custom.Celsius", celsius, "Double", 22.5);
    add("s=Custom.Label", label, "String", "tank 1");
}

// Three folder levels over about opts.browseTreeNodes variables: as many folders at the
// first level as at the second, and the variables spread evenly below them.
function addBrowseTree(namespace, objects) {
    const ns = namespace.index;
    const total = opts.browseTreeNodes;
    const perFolder = Math.max(1, Math.round(Math.cbrt(total / 20)));  // 50,000: 50 x 50 x 20
    const leaves = Math.ceil(total / (perFolder * perFolder));
    const tree = namespace.addObject({ organizedBy: objects, browseName: "Tree", nodeId: `ns=${ns};s=Tree` });
    let made = 0;
    for (let a = 0; a < perFolder && made < total; ++a) {
        const first = namespace.addObject({ organizedBy: tree, browseName: `A${a}`, nodeId: `ns=${ns};s=Tree.A${a}` });
        for (let b = 0; b < perFolder && made < total; ++b) {
            const second = namespace.addObject({
                organizedBy: first, browseName: `B${b}`, nodeId: `ns=${ns};s=Tree.A${a}.B${b}` });
            for (let v = 0; v < leaves && made < total; ++v, ++made) {
                addConstant(namespace, second, `s=Tree.A${a}.B${b}.V${v}`, "Double", made);
            }
        }
    }
}

// What a browsing client has to cope with: a folder wider than one Browse answer, a cycle of
// references, Chinese names, node ids that are awkward as tag text, and variables that are
// not what a collector stores.
function addBrowseNodes(namespace, objects) {
    const ns = namespace.index;
    const browse = namespace.addObject({ organizedBy: objects, browseName: "Browse", nodeId: `ns=${ns};s=Browse` });
    const wide = namespace.addObject({ organizedBy: browse, browseName: "Wide", nodeId: `ns=${ns};s=Browse.Wide` });
    for (let k = 0; k < opts.browseNodes; ++k) {
        addConstant(namespace, wide, `s=Browse.Wide.${k}`, "Double", k);
    }
    const loopA = namespace.addObject({ organizedBy: browse, browseName: "LoopA", nodeId: `ns=${ns};s=Browse.LoopA` });
    const loopB = namespace.addObject({ organizedBy: loopA, browseName: "LoopB", nodeId: `ns=${ns};s=Browse.LoopB` });
    loopB.addReference({ referenceType: "Organizes", nodeId: loopA.nodeId });
    addConstant(namespace, loopB, "s=Browse.LoopB.Value", "Double", 21);

    const chinese = namespace.addObject({ organizedBy: browse, browseName: "车间", nodeId: `ns=${ns};s=Browse.车间` });
    const described = addConstant(namespace, chinese, "s=Browse.车间.温度", "Double", 36.6);
    described.setDisplayName("反应釜温度");
    described.setDescription("一号反应釜的温度");
    addConstant(namespace, chinese, "s=Browse.车间.压力", "Float", 1.5).setDisplayName("压力表");

    const awkward = namespace.addObject({ organizedBy: browse, browseName: "Awkward", nodeId: `ns=${ns};s=Browse.Awkward` });
    addConstant(namespace, awkward, "s=i=5", "Double", 5);
    addConstant(namespace, awkward, "s=b=x", "Double", 6);
    addConstant(namespace, awkward, 's=Tag,with "quotes"', "Double", 7);
    addConstant(namespace, awkward, "s= padded", "Double", 8);
    addConstant(namespace, awkward, "i=2001", "Int32", 2001);
    addConstant(namespace, awkward, "g=0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", "UInt16", 3);
    addConstant(namespace, awkward, "b=AAEC/w==", "Boolean", true);

    const other = namespace.addObject({ organizedBy: browse, browseName: "Other", nodeId: `ns=${ns};s=Browse.Other` });
    addConstant(namespace, other, "s=Browse.Other.Text", "String", "text");
    const array = namespace.addVariable({
        componentOf: other,
        nodeId: `ns=${ns};s=Browse.Other.Array`,
        browseName: "Array",
        dataType: "Double",
        valueRank: 1,
        arrayDimensions: [3],
    });
    array.setValueFromSource(new Variant({ dataType: DataType.Double, arrayType: 1, value: [1, 2, 3] }));
    namespace.addVariable({
        componentOf: other,
        nodeId: `ns=${ns};s=Browse.Other.WriteOnly`,
        browseName: "WriteOnly",
        dataType: "Double",
        accessLevel: "CurrentWrite",
        userAccessLevel: "CurrentWrite",
        value: new Variant({ dataType: DataType.Double, value: 4 }),
    });
}

// "None:None,Basic256Sha256:Sign" as the server's policy and mode lists. node-opcua offers
// every combination of the two, so one list of pairs is checked to be such a product.
function securityLists(text) {
    const policies = new Set();
    const modes = new Set();
    for (const pair of text.split(",").filter((p) => p)) {
        const [policy, mode] = pair.split(":");
        if (SecurityPolicy[policy] === undefined) usage(`unknown security policy ${policy}`);
        if (MessageSecurityMode[mode] === undefined) usage(`unknown security mode ${mode}`);
        policies.add(SecurityPolicy[policy]);
        modes.add(MessageSecurityMode[mode]);
    }
    return { securityPolicies: [...policies], securityModes: [...modes] };
}

function userManager() {
    const users = new Map();
    for (const entry of opts.users.split(",").filter((u) => u)) {
        const colon = entry.indexOf(":");
        users.set(entry.slice(0, colon), entry.slice(colon + 1));
    }
    return {
        isValidUser: (userName, password) => users.has(userName) && users.get(userName) === password,
    };
}

async function main() {
    const certificateManager = (name) =>
        new OPCUACertificateManager({
            rootFolder: path.join(pkiRoot, name),
            automaticallyAcceptUnknownCertificate: true,
        });
    const server = new OPCUAServer({
        port: opts.port,
        host: opts.host,
        hostname: opts.host,
        nodeset_filename: [nodesets.standard],
        ...securityLists(opts.security),
        allowAnonymous: opts.anonymous,
        // Off by default, as in node-opcua: an anonymous session over an unsecured channel may
        // not take over another session's subscriptions.
        allowAnonymousSubscriptionTransferOnUnsecuredChannel: opts.allowAnonymousTransfer,
        userManager: userManager(),
        serverCertificateManager: certificateManager("server"),
        userCertificateManager: certificateManager("user"),
        defaultSecureTokenLifetime: opts.tokenLifetime || undefined,
        maxConnectionsPerEndpoint: Math.max(opts.maxSessions, 10),
        serverCapabilities: {
            maxSessions: opts.maxSessions,
            ...(opts.maxBrowseContinuationPoints > 0
                ? { maxBrowseContinuationPoints: opts.maxBrowseContinuationPoints }
                : {}),
            ...(opts.maxMonitoredItemsPerSubscription > 0
                ? { maxMonitoredItemsPerSubscription: opts.maxMonitoredItemsPerSubscription }
                : {}),
            operationLimits: {
                maxNodesPerRead: opts.maxNodesPerRead,
                ...(opts.maxMonitoredItemsPerCall > 0
                    ? { maxMonitoredItemsPerCall: opts.maxMonitoredItemsPerCall }
                    : {}),
                ...(opts.maxNodesPerBrowse > 0 ? { maxNodesPerBrowse: opts.maxNodesPerBrowse } : {}),
            },
        },
        transportSettings: { adjustTransportLimits: adjustLimits },
        buildInfo: { productName: "Vantrel OPC UA test server", manufacturerName: "Vantrel tests" },
        serverInfo: { applicationUri: "urn:vantrel:test-server", productUri: "urn:vantrel:test-server" },
    });
    if (opts.tokenLifetime > 0) {
        // The stack's floor (2.5 s) is above what a renewal test wants to wait for.
        const { ServerSecureChannelLayer } = require("node-opcua-secure-channel");
        ServerSecureChannelLayer.g_MinimumSecureTokenLifetime = Math.min(
            ServerSecureChannelLayer.g_MinimumSecureTokenLifetime, opts.tokenLifetime);
    }
    if (opts.maxReferencesPerNode > 0) {
        // Like a server with a fixed limit: asking for more, or for no limit, gives the limit.
        const browse = server._on_BrowseRequest.bind(server);
        server._on_BrowseRequest = (message, channel) => {
            const asked = message.request.requestedMaxReferencesPerNode;
            if (asked === 0 || asked > opts.maxReferencesPerNode) {
                message.request.requestedMaxReferencesPerNode = opts.maxReferencesPerNode;
            }
            browse(message, channel);
        };
    }
    if (opts.maxPublishRequests > 0) {
        // Publish requests a session may have queued; past it the oldest is answered
        // BadTooManyPublishRequests.
        const { ServerSession } = require("node-opcua-server");
        ServerSession.maxPublishRequestInQueue = opts.maxPublishRequests;
    }
    if (opts.maxSessionTimeout > 0) {
        const createSession = server._on_CreateSessionRequest.bind(server);
        server._on_CreateSessionRequest = (message, channel) => {
            const asked = message.request.requestedSessionTimeout;
            message.request.requestedSessionTimeout =
                asked > 0 ? Math.min(asked, opts.maxSessionTimeout) : opts.maxSessionTimeout;
            return createSession(message, channel);
        };
    }
    await server.initialize();
    const nsIndex = buildAddressSpace(server);
    await server.start();
    if (opts.statusFile) {
        writeStatusEvery(server, path.resolve(opts.statusFile));
    }
    const endpoint = `opc.tcp://${opts.host}:${opts.port}`;
    process.stdout.write(`VANTREL-OPCUA-TEST-SERVER READY ${endpoint} ns=${nsIndex}\n`);
}

main().catch((err) => {
    process.stderr.write(`server.js: cannot start: ${err && err.stack ? err.stack : err}\n`);
    process.exit(1);
});
