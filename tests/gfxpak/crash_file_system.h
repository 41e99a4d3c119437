// Files as a disk holds them through a power loss: what was flushed is
// kept, and every change since the last flush of its file may be kept, lost
// or torn at the size of a sector. A run stops at a chosen call (the power
// goes there: that call and everything after it fail and change nothing);
// States() then gives every disk a reboot can find, or a fair sample where
// they are too many to try.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "storage.h"
#include "test_support.h"

namespace gfxpak {

class CrashFileSystem : public FileSystem {
 public:
  using Disk = std::map<std::string, Bytes>;

  // The power goes at call number stop (counting from 0: writes, flushes,
  // truncations, creating, renaming and removing files); -1 never.
  CrashFileSystem(const Disk& disk, int stop) : stop_(stop) {
    for (const auto& [name, bytes] : disk) files_[name] = std::make_shared<File>(bytes);
  }

  bool stopped() const { return stopped_; }
  int calls() const { return calls_; }

  // What the program saw last: every change applied.
  Disk Live() const {
    Disk disk;
    for (const auto& [name, file] : files_) disk[name] = file->live;
    return disk;
  }

  // The disks a power loss can leave, for sectors of sector bytes: each
  // sector of each change since its file's last flush kept or lost, in
  // every combination when there are at most kAllUpTo of them, else the
  // ones where all but one, or only one, or a first part in order were kept,
  // and random others from seed.
  std::vector<Disk> States(std::size_t sector, unsigned seed) const {
    std::vector<Choice> choices;
    for (const auto& [name, file] : files_) {
      for (std::size_t c = 0; c < file->pending.size(); ++c) {
        const Change& change = file->pending[c];
        if (change.truncate) {
          choices.push_back({name, c, 0});
          continue;
        }
        const std::uint64_t end = change.offset + change.bytes.size();
        for (std::uint64_t s = change.offset / sector; s * sector < end; ++s) choices.push_back({name, c, s});
      }
    }
    std::vector<std::vector<bool>> picks;
    const std::size_t n = choices.size();
    if (n <= kAllUpTo) {
      for (std::uint64_t mask = 0; mask < (std::uint64_t{1} << n); ++mask) {
        std::vector<bool> pick(n);
        for (std::size_t i = 0; i < n; ++i) pick[i] = ((mask >> i) & 1) != 0;
        picks.push_back(std::move(pick));
      }
    } else {
      // Long writes (an entry's data, a compacted copy) go where no reader
      // looks until a later, flushed write points there: a sample of their
      // prefixes and of their first and last sectors is enough.
      const std::size_t step = std::max<std::size_t>(1, n / kSampled);
      for (std::size_t i = 0; i <= n; i += step) picks.push_back(Prefix(n, i));
      picks.push_back(Prefix(n, n));
      for (std::size_t i = 0; i < n; ++i) {
        if (i >= kSampled / 2 && i + kSampled / 2 < n) continue;
        std::vector<bool> one(n, false);
        one[i] = true;
        picks.push_back(one);
        std::vector<bool> all_but(n, true);
        all_but[i] = false;
        picks.push_back(all_but);
      }
      std::mt19937 rng(seed);
      for (int r = 0; r < kRandom; ++r) {
        std::vector<bool> pick(n);
        for (std::size_t i = 0; i < n; ++i) pick[i] = (rng() & 1) != 0;
        picks.push_back(std::move(pick));
      }
    }
    std::vector<Disk> states;
    for (const std::vector<bool>& pick : picks) states.push_back(Apply(choices, pick, sector));
    return states;
  }

  std::error_code Open(const std::string& path, OpenMode mode, std::unique_ptr<Storage>& file) override {
    auto it = files_.find(path);
    if (mode == OpenMode::kCreateNew) {
      if (it != files_.end()) return std::make_error_code(std::errc::file_exists);
      if (auto e = Call()) return e;
      it = files_.emplace(path, std::make_shared<File>(Bytes())).first;
    } else if (it == files_.end()) {
      return std::make_error_code(std::errc::no_such_file_or_directory);
    }
    file = std::make_unique<Handle>(*this, it->second);
    return {};
  }
  bool Exists(const std::string& path) override { return files_.count(path) != 0; }
  // Removing and renaming sync the folder: they are on the disk when they
  // return, as SystemFileSystem makes them. Windows' rules hold: an open
  // file is neither removed nor renamed over.
  std::error_code Remove(const std::string& path) override {
    auto it = files_.find(path);
    if (it == files_.end()) return std::make_error_code(std::errc::no_such_file_or_directory);
    if (it->second.use_count() > 1) return Errc::kInUse;
    if (auto e = Call()) return e;
    files_.erase(it);
    return {};
  }
  std::error_code Rename(const std::string& from, const std::string& to) override {
    auto it = files_.find(from);
    if (it == files_.end()) return std::make_error_code(std::errc::no_such_file_or_directory);
    auto target = files_.find(to);
    if (it->second.use_count() > 1 || (target != files_.end() && target->second.use_count() > 1)) return Errc::kInUse;
    if (auto e = Call()) return e;
    auto moved = it->second;
    files_.erase(it);
    files_[to] = std::move(moved);
    return {};
  }
  std::error_code Lock(const std::string&, FileLock&) override { return {}; }
  bool Same(const std::string& a, const std::string& b) override { return a == b && Exists(a); }

 private:
  static constexpr std::size_t kAllUpTo = 10;
  static constexpr std::size_t kSampled = 16;
  static constexpr int kRandom = 16;

  struct Change {
    bool truncate = false;
    std::uint64_t offset = 0;  // a truncation's new size
    Bytes bytes;
  };
  struct File {
    explicit File(Bytes bytes) : durable(bytes), live(std::move(bytes)) {}
    Bytes durable;
    Bytes live;
    std::vector<Change> pending;
  };
  struct Choice {
    std::string file;
    std::size_t change;
    std::uint64_t sector;
  };

  static std::vector<bool> Prefix(std::size_t n, std::size_t kept) {
    std::vector<bool> pick(n, false);
    std::fill(pick.begin(), pick.begin() + static_cast<std::ptrdiff_t>(kept), true);
    return pick;
  }

  // The disk with the picked sectors of the pending changes laid over what
  // was flushed, in the order the changes were made.
  Disk Apply(const std::vector<Choice>& choices, const std::vector<bool>& pick, std::size_t sector) const {
    Disk disk;
    for (const auto& [name, file] : files_) {
      Bytes bytes = file->durable;
      for (std::size_t c = 0; c < file->pending.size(); ++c) {
        const Change& change = file->pending[c];
        for (std::size_t i = 0; i < choices.size(); ++i) {
          if (!pick[i] || choices[i].file != name || choices[i].change != c) continue;
          if (change.truncate) {
            bytes.resize(static_cast<std::size_t>(change.offset));
            continue;
          }
          const std::uint64_t begin = std::max(change.offset, choices[i].sector * sector);
          const std::uint64_t end = std::min(change.offset + change.bytes.size(), (choices[i].sector + 1) * sector);
          if (bytes.size() < end) bytes.resize(static_cast<std::size_t>(end));
          std::copy(change.bytes.begin() + static_cast<std::ptrdiff_t>(begin - change.offset),
                    change.bytes.begin() + static_cast<std::ptrdiff_t>(end - change.offset),
                    bytes.begin() + static_cast<std::ptrdiff_t>(begin));
        }
      }
      disk[name] = std::move(bytes);
    }
    return disk;
  }

  // One call that changes the disk; past the stop, the power is gone.
  std::error_code Call() {
    if (stopped_ || (stop_ >= 0 && calls_ >= stop_)) {
      stopped_ = true;
      return std::make_error_code(std::errc::io_error);
    }
    ++calls_;
    return {};
  }

  class Handle : public Storage {
   public:
    Handle(CrashFileSystem& fs, std::shared_ptr<File> file) : fs_(fs), file_(std::move(file)) {}
    std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) override {
      const Bytes& live = file_->live;
      if (offset > live.size() || data.size() > live.size() - offset) return Errc::kShortRead;
      std::copy_n(live.begin() + static_cast<std::ptrdiff_t>(offset), data.size(), data.begin());
      return {};
    }
    std::error_code Write(std::uint64_t offset, std::span<const std::uint8_t> data) override {
      if (data.empty()) return {};
      if (auto e = fs_.Call()) return e;
      Bytes& live = file_->live;
      if (live.size() < offset + data.size()) live.resize(static_cast<std::size_t>(offset + data.size()));
      std::copy(data.begin(), data.end(), live.begin() + static_cast<std::ptrdiff_t>(offset));
      file_->pending.push_back({false, offset, Bytes(data.begin(), data.end())});
      return {};
    }
    std::error_code Flush() override {
      if (auto e = fs_.Call()) return e;
      file_->durable = file_->live;
      file_->pending.clear();
      return {};
    }
    std::error_code Size(std::uint64_t& size) override {
      size = file_->live.size();
      return {};
    }
    std::error_code Truncate(std::uint64_t size) override {
      if (auto e = fs_.Call()) return e;
      file_->live.resize(static_cast<std::size_t>(size));
      file_->pending.push_back({true, size, {}});
      return {};
    }

   private:
    CrashFileSystem& fs_;
    std::shared_ptr<File> file_;
  };

  std::map<std::string, std::shared_ptr<File>> files_;
  int stop_;
  int calls_ = 0;
  bool stopped_ = false;
};

}  // namespace gfxpak
