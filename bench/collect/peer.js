#!/usr/bin/env node
// The peer of bench_collect: what a plant would write in a few lines of Node.js to do the
// console's job, so that the console's CPU cost has something to be set against. Every interval
// it reads the tags in batches with OPC UA Read and writes each batch with one INSERT from
// arrays, through the pg package on the libpq environment (PGHOST, PGPORT, PGUSER, PGPASSWORD,
// PGDATABASE).
//
//   node peer.js --endpoint opc.tcp://127.0.0.1:PORT --table SCHEMA.TABLE
//                [--tags N] [--namespace NS] [--prefix Bulk.] [--batch N] [--interval-ms MS]
//
// Tag k is node ns=NS;s=<prefix>k; its tag_id is the console's for "NS:<prefix>k" in
// chronq.tags, so both write the same ids into tables of the same shape. Prints
// "PEER READY" once connected, a line per overrun cycle, and exits when its parent goes away.
"use strict";

const { OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy } = require("node-opcua-client");
const { Client } = require("pg");

function parseArgs(argv) {
    const opts = {
        endpoint: "",
        table: "",
        tags: 10000,
        namespace: 2,
        prefix: "Bulk.",
        batch: 1000,
        intervalMs: 1000,
    };
    const keys = {
        "--endpoint": "endpoint",
        "--table": "table",
        "--tags": "tags",
        "--namespace": "namespace",
        "--prefix": "prefix",
        "--batch": "batch",
        "--interval-ms": "intervalMs",
    };
    for (let i = 2; i < argv.length; ++i) {
        const key = keys[argv[i]];
        if (key === undefined || i + 1 >= argv.length) {
            process.stderr.write(`peer.js: unknown argument or missing value: ${argv[i]}\n`);
            process.exit(2);
        }
        const value = argv[++i];
        opts[key] = typeof opts[key] === "number" ? Number(value) : value;
    }
    // The table's name is spliced into the statement: only plain names pass.
    if (!opts.endpoint || !/^[a-z_][a-z0-9_]*\.[a-z_][a-z0-9_]*$/.test(opts.table)) {
        process.stderr.write("peer.js: --endpoint and --table SCHEMA.TABLE are required\n");
        process.exit(2);
    }
    for (const key of ["tags", "namespace", "batch", "intervalMs"]) {
        if (!Number.isInteger(opts[key]) || opts[key] <= 0) {
            process.stderr.write(`peer.js: ${key} must be a positive integer\n`);
            process.exit(2);
        }
    }
    return opts;
}

// The console's quality texts, from the severity bits of the status code.
function quality(statusCode) {
    switch (statusCode.value >>> 30) {
        case 0:
            return "Good";
        case 1:
            return "Uncertain";
        default:
            return "Bad";
    }
}

async function main() {
    const opts = parseArgs(process.argv);
    const parent = process.ppid;
    setInterval(() => {
        if (process.ppid !== parent) process.exit(0);
    }, 500).unref();
    process.on("SIGTERM", () => process.exit(0));
    process.on("SIGINT", () => process.exit(0));

    const db = new Client();
    await db.connect();
    const names = [];
    for (let k = 0; k < opts.tags; ++k) names.push(`${opts.namespace}:${opts.prefix}${k}`);
    const found = await db.query(
        "SELECT tag_name, tag_id FROM chronq.tags WHERE tag_name = ANY($1::text[])", [names]);
    const ids = new Map(found.rows.map((r) => [r.tag_name, r.tag_id]));
    if (ids.size !== names.length) {
        throw new Error(`only ${ids.size} of ${names.length} tags are in chronq.tags`);
    }

    const batches = [];
    for (let first = 0; first < opts.tags; first += opts.batch) {
        const batch = { nodes: [], ids: [] };
        for (let k = first; k < Math.min(first + opts.batch, opts.tags); ++k) {
            batch.nodes.push({
                nodeId: `ns=${opts.namespace};s=${opts.prefix}${k}`,
                attributeId: AttributeIds.Value,
            });
            batch.ids.push(ids.get(names[k]));
        }
        batches.push(batch);
    }
    const insert =
        `INSERT INTO ${opts.table} (time, tag_id, value, quality) ` +
        "SELECT $1::timestamptz, * FROM unnest($2::bigint[], $3::float8[], $4::text[])";

    const client = OPCUAClient.create({
        applicationName: "vantrel-bench-peer",
        endpointMustExist: false,
        securityMode: MessageSecurityMode.None,
        securityPolicy: SecurityPolicy.None,
        connectionStrategy: { maxRetry: 0 },
    });
    await client.connect(opts.endpoint);
    const session = await client.createSession();

    const cycle = async () => {
        const time = new Date();
        for (const batch of batches) {
            const results = await session.read(batch.nodes);
            const values = [];
            const qualities = [];
            for (const dv of results) {
                const v = dv.value && dv.value.value;
                values.push(typeof v === "number" ? v : null);
                qualities.push(quality(dv.statusCode));
            }
            await db.query(insert, [time, batch.ids, values, qualities]);
        }
    };

    process.stdout.write("PEER READY\n");
    // Cycles start on the interval's grid; one that overruns skips the starts it missed.
    let next = Date.now();
    for (;;) {
        await cycle();
        const now = Date.now();
        next += opts.intervalMs;
        if (next <= now) {
            process.stdout.write(`peer: cycle overran by ${now - next} ms\n`);
            next += Math.ceil((now - next + 1) / opts.intervalMs) * opts.intervalMs;
        }
        await new Promise((resolve) => setTimeout(resolve, next - now));
    }
}

main().catch((err) => {
    process.stderr.write(`peer.js: ${err && err.stack ? err.stack : err}\n`);
    process.exit(1);
});
