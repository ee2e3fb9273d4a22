// Descriptor and timer watches on the runtime's event loop (sd-event).
#include <sys/epoll.h>
#include <time.h>

#include "platform/ole/runtime.h"

namespace mivo::ole {
namespace {

class EventWatch : public CLoopWatch {
 public:
  explicit EventWatch(std::function<void()> callback) : callback_(std::move(callback)) {}
  ~EventWatch() override = default;

  // The sd-event callback: runs a copy of the callback, since the callback may destroy this watch.
  static int Dispatch(void* userdata) {
    const std::function<void()> callback = static_cast<EventWatch*>(userdata)->callback_;
    callback();
    return 0;
  }

  Ptr<sd_event_source> source;

 private:
  std::function<void()> callback_;
};

sd_event* LoopOnThisThread() {
  Runtime* runtime = RuntimeOnThisThread();
  return runtime ? runtime->event.get() : nullptr;
}

}  // namespace
}  // namespace mivo::ole

using mivo::ole::EventWatch;

std::unique_ptr<CLoopWatch> AfxOleWatchDescriptor(int fd, std::function<void()> onReady) {
  sd_event* event = mivo::ole::LoopOnThisThread();
  if (event == nullptr || fd < 0) return nullptr;
  auto watch = std::make_unique<EventWatch>(std::move(onReady));
  sd_event_source* source = nullptr;
  const int r = sd_event_add_io(
      event, &source, fd, EPOLLIN,
      [](sd_event_source*, int, uint32_t, void* userdata) { return EventWatch::Dispatch(userdata); },
      watch.get());
  if (r < 0) return nullptr;
  watch->source.reset(source);
  return watch;
}

std::unique_ptr<CLoopWatch> AfxOleSetTimer(unsigned milliseconds, std::function<void()> onTimer) {
  sd_event* event = mivo::ole::LoopOnThisThread();
  if (event == nullptr) return nullptr;
  auto watch = std::make_unique<EventWatch>(std::move(onTimer));
  sd_event_source* source = nullptr;
  const int r = sd_event_add_time_relative(
      event, &source, CLOCK_MONOTONIC, std::uint64_t{milliseconds} * 1000, 0,
      [](sd_event_source*, uint64_t, void* userdata) { return EventWatch::Dispatch(userdata); }, watch.get());
  if (r < 0) return nullptr;
  watch->source.reset(source);
  return watch;
}
