// The parallel port writer over real ports. Any device name opens the same
// way, so the harness pairs stand in for a printer: what goes out of COM5
// arrives at COM6, and nobody reads COM8, the far end of COM7.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "error_code_of.h"
#include "errors.h"
#include "parallel_port.h"
#include "port_reader.h"

namespace {

TEST(ParallelPort, WritesEveryByteInOrder) {
    PortReader printer(L"COM6");
    ASSERT_TRUE(printer.IsOpen()) << "the harness maps COM6 to the far end of COM5";
    printer.Drain();
    // Several of the writer's pieces, with every byte value in them.
    std::string job;
    for (size_t i = 0; i < 100000; ++i) job.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
    // Read while writing: the buffers along the way hold less than the job.
    std::string received;
    std::thread reader([&] { received = printer.Read(job.size()); });
    EXPECT_EQ(ErrorCodeOf([&] {
                  core::ParallelPort port(L"\\\\.\\COM5");
                  port.Write(job.data(), job.size());
                  port.Write(job.data(), 0);  // nothing to write is no failure
                  port.Close();
              }),
              S_OK);
    reader.join();
    EXPECT_EQ(received, job);
}

TEST(ParallelPort, ASlowPrinterThatKeepsTakingDataGetsTheWholeJob) {
    PortReader printer(L"COM6");
    ASSERT_TRUE(printer.IsOpen());
    printer.Drain();
    // At 2 KiB every 20 ms one piece takes far longer than the limit, yet
    // no 300 ms pass without a byte taken.
    std::string job(384 * 1024, 'q');
    for (size_t i = 0; i < job.size(); i += 997) job[i] = static_cast<char>('A' + i % 26);
    std::string received;
    std::thread reader([&] { received = printer.Read(job.size(), 2048, 20); });
    std::wstring description;
    EXPECT_EQ(ErrorCodeOf(
                  [&] {
                      core::ParallelPort port(L"\\\\.\\COM5", 300);
                      port.Write(job.data(), job.size());
                  },
                  &description),
              S_OK)
        << description.c_str();
    reader.join();
    EXPECT_TRUE(received == job) << received.size() << " of " << job.size() << " bytes arrived";
}

TEST(ParallelPort, FailuresNameTheDeviceAndWhatWentOut) {
    std::wstring description;
    EXPECT_EQ(ErrorCodeOf([] { core::ParallelPort port(L"\\\\.\\COM9"); }, &description), core::kPortOpenFailed);
    EXPECT_NE(description.find(L"COM9"), std::wstring::npos) << "names the device";

    // Once the buffers along the way are full, the printer takes nothing more.
    const std::string job(4 << 20, 'Z');
    EXPECT_EQ(ErrorCodeOf(
                  [&] {
                      core::ParallelPort port(L"\\\\.\\COM7", 300);
                      port.Write(job.data(), job.size());
                  },
                  &description),
              core::kWriteTimeout);
    EXPECT_NE(description.find(L"COM7"), std::wstring::npos) << description.c_str();
    EXPECT_NE(description.find(L"of 4194304 bytes went out"), std::wstring::npos) << "says how much went out";

    // The failed writer closed the device: it opens again at once.
    EXPECT_EQ(ErrorCodeOf([] { core::ParallelPort port(L"\\\\.\\COM7"); }), S_OK);
    PortReader stalled(L"COM8");
    if (stalled.IsOpen()) stalled.Drain();
}

}  // namespace
