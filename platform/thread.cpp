#include "platform/thread.h"

#include <atomic>
#include <thread>

namespace platform {

namespace {

class SystemWorker : public Worker {
  public:
    explicit SystemWorker(std::function<int()> body)
        : thread_([this, body = std::move(body)] { exitCode_.store(body()); }) {}
    ~SystemWorker() override { join(); }
    int exitCode() override { return exitCode_.load(); }
    void join() override {
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::atomic<int> exitCode_{kStillActive};
    std::thread thread_;
};

class SystemThreads : public Threads {
  public:
    std::unique_ptr<Worker> start(std::function<int()> body) override {
        return std::make_unique<SystemWorker>(std::move(body));
    }
};

Threads* current = nullptr;

} // namespace

Threads& threads() {
    static SystemThreads system;
    return current ? *current : system;
}

void setThreads(Threads* replacement) { current = replacement; }

} // namespace platform
