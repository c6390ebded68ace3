#include "fileprovider/run_loop.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace fp {
namespace {

void ignoreSignal(int) {}

// The run loop keeps the main thread waiting through caught signals; another
// thread writes and ends the process, as the command-line tool's handlers do.
TEST(RunLoopDeathTest, WaitsUntilAnotherThreadEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        struct sigaction sa {};
        sa.sa_handler = ignoreSignal;
        ::sigaction(SIGUSR1, &sa, nullptr);
        pthread_t mainThread = ::pthread_self();
        std::thread([mainThread] {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          ::pthread_kill(mainThread, SIGUSR1);
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          writeStandardError(std::string(100000, 'x') + "done\n");
          ::_exit(7);
        }).detach();
        RunLoop::main().run();
      },
      ::testing::ExitedWithCode(7), ::testing::HasSubstr(std::string(100000, 'x') + "done\n"));
}

}  // namespace
}  // namespace fp
