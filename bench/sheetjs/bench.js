// Peer for zqexcel_bench: writes the benchmark cells as a BIFF8 .xls with SheetJS and reads them
// back. usage: node bench.js CELLS OUT.xls ; prints the same lines as xlwt_xlrd_bench.py.
const fs = require("fs");
const XLSX = require("xlsx");

const cells = parseInt(process.argv[2], 10);
const path = process.argv[3];
const cols = Math.max(16, Math.ceil(cells / 65536));
const rows = Math.ceil(cells / cols);

function value(r, c) {
  switch (c % 5) {
    case 0: return r * 7 + c;
    case 1: return (r % 10000) / 100 + c;
    case 2: return r / 7 + c;
    case 3: return "item " + ((r + c) % 100);
    default: return "u" + r + "_" + c;
  }
}

let t = process.hrtime.bigint();
const aoa = [];
let n = 0;
for (let r = 0; r < rows; ++r) {
  const row = [];
  for (let c = 0; c < cols && n < cells; ++c, ++n) row.push(value(r, c));
  aoa.push(row);
}
const wb = XLSX.utils.book_new();
XLSX.utils.book_append_sheet(wb, XLSX.utils.aoa_to_sheet(aoa), "Sheet1");
fs.writeFileSync(path, XLSX.write(wb, { type: "buffer", bookType: "biff8" }));
const secs = (a, b) => (Number(b - a) / 1e9).toFixed(3);
let now = process.hrtime.bigint();
console.log("write " + secs(t, now));
t = process.hrtime.bigint();
const back = XLSX.read(fs.readFileSync(path), { type: "buffer" });
const data = XLSX.utils.sheet_to_json(back.Sheets[back.SheetNames[0]], { header: 1, raw: true });
let checksum = 0;
for (const row of data) for (const v of row) if (v !== undefined && v !== "") ++checksum;
now = process.hrtime.bigint();
console.log("read " + secs(t, now));
console.log("size " + fs.statSync(path).size);
console.log("checksum " + checksum);
