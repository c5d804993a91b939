#include "tools/qor-sim/SparseMemory.h"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <vector>

namespace qor::sim {
namespace {

constexpr uint64_t kPageSize = 4096;
using PageBytes = std::array<uint8_t, kPageSize>;

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

}  // namespace

// Pages come from blocks that double in size up to this many pages: an allocator's heap on a
// thread grows a page at a time otherwise, a system call per page of a large download.
constexpr size_t kMostPagesPerBlock = 64;

struct SparseMemory::State {
  std::unordered_map<uint64_t, PageBytes*> pages;
  std::vector<std::unique_ptr<PageBytes[]>> blocks;
  size_t allocated = 0;            // pages in blocks
  std::vector<PageBytes*> spares;  // pages in blocks that hold nothing; kept for reuse

  PageBytes& Page(uint64_t index) {
    PageBytes*& page = pages[index];
    if (page == nullptr) {
      if (spares.empty()) Grow();
      page = spares.back();
      spares.pop_back();
      page->fill(0xFF);
    }
    return *page;
  }

  void Grow() {
    const size_t count = std::clamp<size_t>(allocated, 1, kMostPagesPerBlock);
    blocks.emplace_back(new PageBytes[count]);
    for (size_t i = count; i-- > 0;) spares.push_back(&blocks.back()[i]);
    allocated += count;
  }

  void Release(uint64_t index) {
    const auto found = pages.find(index);
    if (found == pages.end()) return;
    spares.push_back(found->second);
    pages.erase(found);
  }
};

SparseMemory::SparseMemory() : state_(std::make_unique<State>()) {}
SparseMemory::~SparseMemory() = default;
SparseMemory::SparseMemory(SparseMemory&&) noexcept = default;
SparseMemory& SparseMemory::operator=(SparseMemory&&) noexcept = default;

void SparseMemory::Read(uint64_t address, uint64_t length, uint8_t* out) const {
  ForEachRun(address, length, [&](uint64_t index, uint64_t offset, uint64_t run) {
    const auto found = state_->pages.find(index);
    if (found == state_->pages.end()) {
      std::fill_n(out, run, 0xFF);
    } else {
      std::copy_n(found->second->data() + offset, run, out);
    }
    out += run;
  });
}

void SparseMemory::Visit(
    uint64_t address, uint64_t length,
    const std::function<void(const uint8_t* bytes, uint64_t count)>& visit) const {
  ForEachRun(address, length, [&](uint64_t index, uint64_t offset, uint64_t run) {
    const auto found = state_->pages.find(index);
    visit(found == state_->pages.end() ? nullptr : found->second->data() + offset, run);
  });
}

void SparseMemory::Write(uint64_t address, uint64_t length, const uint8_t* bytes) {
  ForEachRun(address, length, [&](uint64_t index, uint64_t offset, uint64_t run) {
    std::copy_n(bytes, run, state_->Page(index).data() + offset);
    bytes += run;
  });
}

void SparseMemory::Fill(uint64_t address, uint64_t length, uint8_t value) {
  ForEachRun(address, length, [&](uint64_t index, uint64_t offset, uint64_t run) {
    if (value == 0xFF && run == kPageSize) {
      state_->Release(index);  // a blank page needs no storage
    } else {
      std::fill_n(state_->Page(index).data() + offset, run, value);
    }
  });
}

size_t SparseMemory::PageCount() const { return state_->pages.size(); }

}  // namespace qor::sim
