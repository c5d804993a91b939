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

// Pages given back are kept for reuse, up to this many: a staging buffer filled and written
// again for every download would otherwise cost an allocation per page each time.
constexpr size_t kMostSpares = 256;

struct SparseMemory::State {
  std::unordered_map<uint64_t, std::unique_ptr<PageBytes>> pages;
  std::vector<std::unique_ptr<PageBytes>> spares;

  PageBytes& Page(uint64_t index) {
    auto& page = pages[index];
    if (!page) {
      if (spares.empty()) {
        page = std::make_unique<PageBytes>();
      } else {
        page = std::move(spares.back());
        spares.pop_back();
      }
      page->fill(0xFF);
    }
    return *page;
  }

  void Release(uint64_t index) {
    const auto found = pages.find(index);
    if (found == pages.end()) return;
    if (spares.size() < kMostSpares) spares.push_back(std::move(found->second));
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
