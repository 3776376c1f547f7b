#include "log_capture.h"

#include <algorithm>
#include <mutex>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>
#include <log4cxx/spi/loggingevent.h>

#include "platform/log.h"

namespace kestravo::test {
namespace {

using namespace log4cxx;

// Keeps every event it receives.
class MemoryAppender : public AppenderSkeleton {
 public:
  DECLARE_LOG4CXX_OBJECT(MemoryAppender)
  BEGIN_LOG4CXX_CAST_MAP()
  LOG4CXX_CAST_ENTRY(MemoryAppender)
  LOG4CXX_CAST_ENTRY_CHAIN(AppenderSkeleton)
  END_LOG4CXX_CAST_MAP()

  void close() override {}
  bool requiresLayout() const override { return false; }
  std::mutex linesMutex;
  std::vector<LogLine> lines;  // guarded by linesMutex

 protected:
  void append(const spi::LoggingEventPtr& event, helpers::Pool&) override {
    std::lock_guard<std::mutex> lock(linesMutex);
    lines.push_back({event->getLevel()->toString(), event->getMessage()});
  }
};

IMPLEMENT_LOG4CXX_OBJECT(MemoryAppender)

}  // namespace

struct LogCapture::Impl {
  std::shared_ptr<MemoryAppender> appender = std::make_shared<MemoryAppender>();
};

LogCapture::LogCapture() : impl_(new Impl) {
  // Settle the library's default first: set up by a later first line, it would reset the level.
  LogInit(nullptr, 0);
  LoggerPtr logger = Logger::getLogger("KESTRAVO");
  logger->addAppender(impl_->appender);
  logger->setLevel(Level::getAll());
}

LogCapture::~LogCapture() { Logger::getLogger("KESTRAVO")->removeAppender(impl_->appender); }

std::vector<LogLine> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(impl_->appender->linesMutex);
  return impl_->appender->lines;
}

int LogCapture::Count(const std::vector<std::string>& fragments) const {
  std::vector<LogLine> lines = Lines();
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& line) {
    return std::all_of(fragments.begin(), fragments.end(),
                       [&](const std::string& f) { return line.text.find(f) != std::string::npos; });
  }));
}

}  // namespace kestravo::test
