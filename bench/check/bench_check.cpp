// What gfxpak -check and -restore make of damage: an archive laid out as the
// game's are (dense, in table order, stored and compressed entries), damaged
// in one place at a time, 30 times per kind of damage with seeds 1 to 30.
// Without a restore point the archive is the untouched original; with one,
// it has had a replacement and two additions. Each damage counts as
// reported when -check exits non-zero, and -restore as fooled when it exits
// 0 and leaves anything but the original. Usage: bench_check [GFXPAK]
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "packer_protocol.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string gfxpak = TESSOLO_GFXPAK;
const std::string dir = std::string(TESSOLO_BENCH_DIR) + "/work";

int Run(const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    const int null = ::open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> argv{const_cast<char*>(gfxpak.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(gfxpak.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

Bytes ReadFile(const std::string& name) {
  Bytes out;
  FILE* f = std::fopen((dir + "/" + name).c_str(), "rb");
  if (f == nullptr) return out;
  std::uint8_t buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

void Write(const std::string& name, const Bytes& bytes) { bench::WriteFile(dir + "/" + name, bytes); }

std::uint32_t Be(const Bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}
void PutBe(Bytes& b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

struct Record {
  std::size_t pos;  // of its offset field
  std::uint32_t offset, size;
  std::size_t name_pos, name_length;
};

std::vector<Record> Table(const Bytes& b) {
  std::vector<Record> out;
  std::size_t pos = 16;
  for (std::uint32_t i = 0, n = Be(b, 8); i < n && pos + 9 <= b.size(); ++i) {
    const std::size_t name = pos + 8;
    std::size_t end = name;
    while (end < b.size() && b[end] != 0) ++end;
    out.push_back({pos, Be(b, pos), Be(b, pos + 4), name, end - name});
    pos = end + 1;
  }
  return out;
}

bool Compressed(const Bytes& b, const Record& r) { return r.size >= 2 && (b[r.offset] & 0x7E) == 0x10 && b[r.offset + 1] == 0xFB; }

// 40 entries, every other one compressed, written as a packer that knows
// nothing of gfxpak would: table, an 8-byte marker, the data in table order.
Bytes Original() {
  std::vector<std::pair<std::string, Bytes>> entries;
  for (int i = 0; i < 40; ++i) {
    std::string text;
    std::mt19937 rng(static_cast<unsigned>(i));
    while (text.size() < 3000 + 400u * static_cast<unsigned>(i)) text += "vertex " + std::to_string(rng() % 1000) + "\n";
    Write("in.o", Bytes(text.begin(), text.end()));
    if (i % 2 == 1) Run({std::string(kCompressCommand), std::string(kCompressFlag), "in.o", "in.o"});
    entries.emplace_back("data\\stadium\\s" + std::to_string(i) + ".o", ReadFile("in.o"));
  }
  Bytes table = {'B', 'I', 'G', 'F', 0, 0, 0, 0};
  for (int s = 24; s >= 0; s -= 8) table.push_back(static_cast<std::uint8_t>(entries.size() >> s));
  table.resize(16);
  std::size_t table_end = 16;
  for (const auto& e : entries) table_end += 8 + e.first.size() + 1;
  std::uint32_t at = static_cast<std::uint32_t>(table_end + 8);
  PutBe(table, 12, at);
  Bytes data;
  for (const auto& e : entries) {
    table.resize(table.size() + 8);
    PutBe(table, table.size() - 8, at);
    PutBe(table, table.size() - 4, static_cast<std::uint32_t>(e.second.size()));
    table.insert(table.end(), e.first.begin(), e.first.end());
    table.push_back(0);
    data.insert(data.end(), e.second.begin(), e.second.end());
    at += static_cast<std::uint32_t>(e.second.size());
  }
  table.insert(table.end(), {'L', '2', '3', '1', 0, 0, 0, 0});
  table.insert(table.end(), data.begin(), data.end());
  for (std::size_t i = 0; i < 4; ++i) table[4 + i] = static_cast<std::uint8_t>(table.size() >> (8 * i));
  return table;
}

using Damage = std::function<bool(Bytes&, std::mt19937&)>;

// A bit flipped in an entry that pick chooses.
Damage FlipIn(std::function<bool(const Bytes&, std::size_t, const Record&)> pick) {
  return [pick](Bytes& b, std::mt19937& rng) {
    std::vector<Record> chosen;
    const std::vector<Record> table = Table(b);
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (table[i].size > 0 && pick(b, i, table[i])) chosen.push_back(table[i]);
    }
    if (chosen.empty()) return false;
    const Record& r = chosen[rng() % chosen.size()];
    b[r.offset + rng() % r.size] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    return true;
  };
}

bool NameByte(Bytes& b, std::mt19937& rng) {
  const std::vector<Record> table = Table(b);
  const Record& r = table[rng() % table.size()];
  std::uint8_t& c = b[r.name_pos + rng() % r.name_length];
  c = static_cast<std::uint8_t>(c + 1 + rng() % 255);
  return true;
}

bool LowerCount(Bytes& b, std::mt19937& rng) {
  PutBe(b, 8, Be(b, 8) - 1 - static_cast<std::uint32_t>(rng() % 3));
  return true;
}

bool SwapRecords(Bytes& b, std::mt19937& rng) {
  const std::vector<Record> table = Table(b);
  const Record& x = table[rng() % table.size()];
  const Record* y = &x;
  while (y->pos == x.pos || y->size == x.size) y = &table[rng() % table.size()];
  for (std::size_t i = 0; i < 8; ++i) std::swap(b[x.pos + i], b[y->pos + i]);
  return true;
}

// The bytes of the entry the import replaced, which lie unused now and are
// what the whole -restore gives back.
bool ReplacedOriginal(Bytes& b, std::mt19937& rng, const Bytes& original) {
  const Record r = Table(original)[3];
  b[r.offset + rng() % r.size] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
  return true;
}

struct Row {
  const char* label;
  bool restore_point;
  Damage damage;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) gfxpak = argv[1];
  std::string mkdir = "mkdir -p " + dir;
  if (std::system(mkdir.c_str()) != 0) return 1;
  const Bytes original = Original();
  Write("zdata.big", original);
  Write("s3.o", bench::RandomBytes(5000, 3));
  Write("added_one.o", bench::RandomBytes(2000, 4));
  Write("added_two.o", bench::RandomBytes(900, 5));
  for (const char* f : {"s3.o", "added_one.o", "added_two.o"}) {
    if (Run({std::string(kImportCommand), "zdata.big", f}) != 0) return 1;
  }
  const Bytes imported = ReadFile("zdata.big");
  const Bytes point = ReadFile("zdata.big.restore");
  const std::size_t original_count = Table(original).size();

  const auto original_entry = [original_count](const Bytes& b, std::size_t i, const Record& r) {
    return i < original_count && r.offset < Be(b, 4) && Table(b).size() > i;
  };
  const std::vector<Row> rows = {
      {"a bit flipped in a stored entry", false, FlipIn([](const Bytes& b, std::size_t, const Record& r) { return !Compressed(b, r); })},
      {"a bit flipped in a compressed entry", false, FlipIn([](const Bytes& b, std::size_t, const Record& r) { return Compressed(b, r); })},
      {"a byte of a name changed", false, NameByte},
      {"the entry count lowered", false, LowerCount},
      {"two records swapped", false, SwapRecords},
      {"a bit flipped in an original stored entry", true,
       FlipIn([&](const Bytes& b, std::size_t i, const Record& r) { return original_entry(b, i, r) && !Compressed(b, r) && i != 3; })},
      {"a bit flipped in an original compressed entry", true,
       FlipIn([&](const Bytes& b, std::size_t i, const Record& r) { return original_entry(b, i, r) && Compressed(b, r); })},
      {"a bit flipped in an entry gfxpak wrote", true,
       FlipIn([&](const Bytes&, std::size_t i, const Record&) { return i == 3 || i >= original_count; })},
      {"a bit flipped in a replaced entry's original bytes", true,
       [&](Bytes& b, std::mt19937& rng) { return ReplacedOriginal(b, rng, original); }},
      {"a byte of a name changed", true, NameByte},
      {"the entry count lowered", true, LowerCount},
      {"two records swapped", true, SwapRecords},
  };

  std::printf("gfxpak: %s\n\n| damage | restore point | -check reports | -restore calls it the original |\n|---|---|---|---|\n",
              gfxpak.c_str());
  int total = 0, reported_total = 0, fooled_total = 0, restores = 0;
  for (const Row& row : rows) {
    int reported = 0, fooled = 0, tried = 0;
    for (unsigned seed = 1; seed <= 30; ++seed) {
      std::mt19937 rng(seed);
      Bytes damaged = row.restore_point ? imported : original;
      if (!row.damage(damaged, rng) || damaged == (row.restore_point ? imported : original)) continue;
      ++tried;
      Write("zdata.big", damaged);
      std::remove((dir + "/zdata.big.restore").c_str());
      if (row.restore_point) Write("zdata.big.restore", point);
      if (Run({"-check", "zdata.big"}) != 0) ++reported;
      if (row.restore_point && Run({"-restore", "zdata.big"}) == 0 && ReadFile("zdata.big") != original) ++fooled;
    }
    std::printf("| %s | %s | %d of %d | %s |\n", row.label, row.restore_point ? "yes" : "no", reported, tried,
                row.restore_point ? (std::to_string(fooled) + " of " + std::to_string(tried)).c_str() : "-");
    total += tried;
    reported_total += reported;
    if (row.restore_point) {
      fooled_total += fooled;
      restores += tried;
    }
  }
  std::printf("| all | | %d of %d (%.0f%%) | %d of %d |\n", reported_total, total, 100.0 * reported_total / total,
              fooled_total, restores);
  std::string rm = "rm -rf " + dir;
  return std::system(rm.c_str()) == 0 ? 0 : 1;
}
