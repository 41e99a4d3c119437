// Times qfs-compression on files for bench_refpack, the same way the C++ side
// times our codec: the best of repeated runs after a warm-up, so that the JIT
// has compiled the hot loops. Prints one line per file:
//   NAME SIZE COMPRESSED_SIZE COMPRESS_MB_S DECOMPRESS_MB_S COMPRESS_MB_PER_CPU_S
// the last per second of processor time (Node.js's own threads included).
// A file the package refuses (it takes no more than 16 MiB - 1) gets no line.
'use strict';
const fs = require('fs');
const path = require('path');

const qfs = require(path.join(process.argv[2], 'qfs-compression'));

// [wall, cpu]: the best MB/s of wall clock and per second of processor time.
function best(fn, bytes) {
  fn();
  let bestSeconds = Infinity;
  let bestCpu = Infinity;
  const start = process.hrtime.bigint();
  for (let runs = 0; runs < 3 || (runs < 50 && process.hrtime.bigint() - start < 1500000000n); ++runs) {
    const t0 = process.hrtime.bigint();
    const c0 = process.cpuUsage();
    fn();
    const c = process.cpuUsage(c0);
    bestSeconds = Math.min(bestSeconds, Number(process.hrtime.bigint() - t0) / 1e9);
    bestCpu = Math.min(bestCpu, (c.user + c.system) / 1e6);
  }
  return [bytes / 1e6 / bestSeconds, bytes / 1e6 / bestCpu];
}

for (const file of process.argv.slice(3)) {
  const data = fs.readFileSync(file);
  let packed;
  try {
    packed = qfs.compress(data);
  } catch (e) {
    console.error(`${path.basename(file)}: qfs-compression refused it: ${e.message}`);
    continue;
  }
  const [compress, compressCpu] = best(() => { packed = qfs.compress(data); }, data.length);
  const [decompress] = best(() => qfs.decompress(packed), data.length);
  if (Buffer.compare(Buffer.from(qfs.decompress(packed)), data) !== 0) {
    console.error(`${file}: qfs-compression round trip failed`);
    process.exitCode = 1;
  }
  console.log(`${path.basename(file)} ${data.length} ${packed.length} ${compress.toFixed(2)} ${decompress.toFixed(2)} ` +
              `${compressCpu.toFixed(2)}`);
}
