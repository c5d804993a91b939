#include "tools/qor-sim/SparseMemory.h"

#include <algorithm>
#include <array>
#include <vector>

#include "net/Crc32.h"

namespace qor::sim {
namespace {

constexpr uint64_t kPageSize = 4096;

// Calls visit(pageIndex, offsetInPage, run) for each piece of [address, address + length)
// that lies in one page, in order.
template <typename Visit>
void ForEachRun(uint64_t address, uint64_t length, Visit visit) {
  while (length > 0) {
    const uint64_t offset = address % kPageSize;
    const uint64_t run = std::min(length, kPageSize - offset);
    visit(address / kPageSize, offset, run);
    address += run;
    length -= run;
  }
}

// Pages come from blocks that double in size up to this many pages: an allocator's heap on a
// thread grows a page at a time otherwise, a system call per page of a large download.
constexpr size_t kMostPagesPerBlock = 64;

}  // namespace

class PagePool {
 public:
  struct Page {
    std::array<uint8_t, kPageSize> bytes;
    uint32_t holders = 0;
  };

  // A page for one holder; its bytes are whatever they were.
  Page* Take() {
    if (spares_.empty()) Grow();
    Page* page = spares_.back();
    spares_.pop_back();
    page->holders = 1;
    return page;
  }
  Page* Share(Page* page) {
    ++page->holders;
    return page;
  }
  void Drop(Page* page) {
    if (--page->holders == 0) spares_.push_back(page);
  }

 private:
  void Grow() {
    const size_t count = std::clamp<size_t>(allocated_, 1, kMostPagesPerBlock);
    blocks_.emplace_back(new Page[count]);
    for (size_t i = count; i-- > 0;) spares_.push_back(&blocks_.back()[i]);
    allocated_ += count;
  }

  std::vector<std::unique_ptr<Page[]>> blocks_;
  size_t allocated_ = 0;       // pages in blocks
  std::vector<Page*> spares_;  // pages in blocks that no memory holds
};

std::shared_ptr<PagePool> MakePagePool() { return std::make_shared<PagePool>(); }

struct SparseMemory::State {
  using Page = PagePool::Page;
  // Pages by index in tables of kTablePages, made as the first page of each is written: two
  // loads find a page, where a hash map would hash, and allocate a node for every page taken.
  static constexpr uint64_t kTablePages = 256;
  using Table = std::array<Page*, kTablePages>;
  std::shared_ptr<PagePool> pool;
  std::vector<std::unique_ptr<Table>> tables;
  size_t count = 0;  // pages held

  ~State() {
    for (const auto& table : tables) {
      if (!table) continue;
      for (Page* page : *table) {
        if (page != nullptr) pool->Drop(page);
      }
    }
  }

  [[nodiscard]] Page* Find(uint64_t index) const {
    const uint64_t at = index / kTablePages;
    return at < tables.size() && tables[at] ? (*tables[at])[index % kTablePages] : nullptr;
  }
  Page*& Slot(uint64_t index) {
    const uint64_t at = index / kTablePages;
    if (at >= tables.size()) tables.resize(at + 1);
    if (!tables[at]) tables[at] = std::make_unique<Table>();
    return (*tables[at])[index % kTablePages];
  }
  // Holds page at index in place of whatever was there.
  void Put(uint64_t index, Page* page) {
    Page*& slot = Slot(index);
    if (slot != nullptr) {
      pool->Drop(slot);
      --count;
    }
    slot = page;
    if (page != nullptr) ++count;
  }

  // The page to write to: made for the first write, copied first when another memory holds it.
  Page& Writable(uint64_t index) {
    Page*& page = Slot(index);
    if (page == nullptr) {
      page = pool->Take();
      page->bytes.fill(0xFF);
      ++count;
    } else if (page->holders > 1) {
      Page* own = pool->Take();
      own->bytes = page->bytes;
      pool->Drop(page);
      page = own;
    }
    return *page;
  }
  void Release(uint64_t index) {
    if (Find(index) != nullptr) Put(index, nullptr);
  }
};

SparseMemory::SparseMemory() : SparseMemory(MakePagePool()) {}
SparseMemory::SparseMemory(std::shared_ptr<PagePool> pool) : state_(std::make_unique<State>()) {
  state_->pool = std::move(pool);
}
SparseMemory::~SparseMemory() = default;
SparseMemory::SparseMemory(SparseMemory&&) noexcept = default;
SparseMemory& SparseMemory::operator=(SparseMemory&&) noexcept = default;

void SparseMemory::Read(uint64_t address, uint64_t length, uint8_t* out) const {
  ForEachRun(address, length, [&](uint64_t index, uint64_t offset, uint64_t run) {
    if (const PagePool::Page* page = state_->Find(index)) {
      std::copy_n(page->bytes.data() + offset, run, out);
    } else {
      std::fill_n(out, run, 0xFF);
    }
    out += run;
  });
}

uint32_t SparseMemory::Crc32(uint64_t address, uint64_t length, uint32_t crc) const {
  uint64_t blank = 0;  // 0xFF bytes not yet counted
  ForEachRun(address, length, [&](uint64_t index, uint64_t offset, uint64_t run) {
    const PagePool::Page* page = state_->Find(index);
    if (page == nullptr) {
      blank += run;
      return;
    }
    crc = Crc32Extend(Crc32ExtendRepeated(crc, 0xFF, blank),
                      {page->bytes.data() + offset, static_cast<size_t>(run)});
    blank = 0;
  });
  return Crc32ExtendRepeated(crc, 0xFF, blank);
}

void SparseMemory::Write(uint64_t address, uint64_t length, const uint8_t* bytes) {
  ForEachRun(address, length, [&](uint64_t index, uint64_t offset, uint64_t run) {
    std::copy_n(bytes, run, state_->Writable(index).bytes.data() + offset);
    bytes += run;
  });
}

void SparseMemory::Fill(uint64_t address, uint64_t length, uint8_t value) {
  ForEachRun(address, length, [&](uint64_t index, uint64_t offset, uint64_t run) {
    if (value == 0xFF && run == kPageSize) {
      state_->Release(index);  // a blank page needs no storage
    } else {
      std::fill_n(state_->Writable(index).bytes.data() + offset, run, value);
    }
  });
}

void SparseMemory::CopyFrom(const SparseMemory& source, uint64_t sourceAddress, uint64_t address,
                            uint64_t length) {
  const bool shareable = source.state_->pool == state_->pool &&
                         sourceAddress % kPageSize == address % kPageSize && &source != this;
  const uint64_t shift = address - sourceAddress;  // wraps below; adds back right
  ForEachRun(sourceAddress, length, [&](uint64_t index, uint64_t offset, uint64_t run) {
    const PagePool::Page* page = source.state_->Find(index);
    const uint64_t to = index * kPageSize + offset + shift;
    if (shareable && run == kPageSize) {
      state_->Put(to / kPageSize, page == nullptr
                                      ? nullptr
                                      : state_->pool->Share(const_cast<PagePool::Page*>(page)));
    } else if (page == nullptr) {
      Fill(to, run, 0xFF);
    } else {
      Write(to, run, page->bytes.data() + offset);
    }
  });
}

size_t SparseMemory::PageCount() const { return state_->count; }

}  // namespace qor::sim
