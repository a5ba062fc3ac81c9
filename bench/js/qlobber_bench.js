// Times the npm `qlobber` topic matcher on a workload written by
// bench/index_bench.py: {"subscriptions": [...], "events": [...], "repeats": n}.
// Subscriptions use '+' for a one-word wildcard; the value of subscription i
// is i.  Prints one JSON object: CPU ns per event (best of the repeats),
// results per event, and heap growth per subscription.
'use strict';
const fs = require('fs');
const { Qlobber } = require('qlobber');

const workload = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const settle = () => { for (let i = 0; i < 3; ++i) global.gc(); };

settle();
const heapBefore = process.memoryUsage().heapUsed;
const matcher = new Qlobber({ separator: '.', wildcard_one: '+', wildcard_some: '#' });
workload.subscriptions.forEach((topic, i) => matcher.add(topic, i));
settle();
const heapAfter = process.memoryUsage().heapUsed;

let results = 0;
for (const event of workload.events) results += matcher.match(event).length;  // warm-up, and the count
// CPU time, as on the Python side: the machine is shared.  Short event lists
// run several times per repeat.
const passes = Math.max(1, Math.floor(20000 / workload.events.length));
const cpuNs = () => { const u = process.cpuUsage(); return (u.user + u.system) * 1000; };
let best = Infinity;
for (let r = 0; r < workload.repeats; ++r) {
    const start = cpuNs();
    for (let p = 0; p < passes; ++p) for (const event of workload.events) matcher.match(event);
    best = Math.min(best, (cpuNs() - start) / (passes * workload.events.length));
}
console.log(JSON.stringify({
    ns_per_event: best,
    results_per_event: results / workload.events.length,
    heap_bytes_per_subscription: (heapAfter - heapBefore) / workload.subscriptions.length,
}));
