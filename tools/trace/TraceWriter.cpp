#include "tools/trace/TraceWriter.h"

#include <cstdio>

#include "platform/Exception.h"
#include "platform/Format.h"

namespace qor {

struct TraceWriter::State {
  std::FILE* file = nullptr;
};

TraceWriter::TraceWriter(const std::string& path) : state_(std::make_unique<State>()) {
  state_->file = std::fopen(path.c_str(), "w");
  if (state_->file == nullptr)
    throw Exception(Format("Cannot write trace file \"%s\"", path.c_str()));
}

TraceWriter::~TraceWriter() { std::fclose(state_->file); }

void TraceWriter::Write(const TraceRecord& record) {
  std::fprintf(state_->file, "%s\n", TraceLine(record).c_str());
}

void TraceWriter::Flush() { std::fflush(state_->file); }

}  // namespace qor
