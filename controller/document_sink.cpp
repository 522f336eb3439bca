#include "controller/document_sink.h"

#include <cstdio>
#include <mutex>

namespace vantorel {
namespace {

class StdoutSink final : public DocumentSink {
public:
    void print(const std::string& document) override {
        std::lock_guard<std::mutex> hold(lock_);
        std::fwrite(document.data(), 1, document.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

private:
    std::mutex lock_;
};

}  // namespace

DocumentSink& StandardOutput() {
    static StdoutSink sink;
    return sink;
}

}  // namespace vantorel
