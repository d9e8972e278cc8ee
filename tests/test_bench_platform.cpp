// The bench's pipes reached through the sim platform's Win32-shaped calls, with the paths the
// discovery will open, and the bench's events running on the platform's virtual clock.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "platform/sim/SimPlatform.h"
#include "platform/sim/bench/BenchLoader.h"
#include "platform/sim/bench/BenchPipes.h"
#include "platform/sim/bench/DemoBench.h"

using namespace platform;
using namespace platform::sim;

namespace {

SimOptions Bare() {
  SimOptions options;
  options.hostFacts = false;
  return options;
}

struct Pipes {
  Handle read = kInvalidHandle;
  Handle write = kInvalidHandle;
};

Pipes Open(SimPlatform& p, const std::string& path) {
  return {p.CreateFileA((path + "\\PIPE00").c_str(), kGenericRead, kFileShareRead | kFileShareWrite,
                        kOpenExisting),
          p.CreateFileA((path + "\\PIPE01").c_str(), kGenericWrite,
                        kFileShareRead | kFileShareWrite, kOpenExisting)};
}

// Writes AT+? and gathers chunks until one holds "AT+"; nullopt when a call fails.
std::optional<std::string> Ask(SimPlatform& p, const Pipes& pipes) {
  const std::array<std::uint8_t, 8> block{0, 0, '?', 0, 0, 0, 0, 0};
  std::uint32_t done = 0;
  if (!p.WriteFile(pipes.write, block.data(), 8, &done) || done != 8) return std::nullopt;
  std::string reply;
  for (int reads = 0; reads < 10; ++reads) {
    std::array<char, 64> chunk{};
    if (!p.ReadFile(pipes.read, chunk.data(), 64, &done)) return std::nullopt;
    reply += std::string(chunk.data(), done) + ";";
    if (reply.find("AT+") != std::string::npos) return reply;
  }
  return reply;
}

TEST(BenchPlatform, LinksOpenByTheirInterfacePathsAndAnswerThroughReadFile) {
  SimPlatform platform(Bare());
  auto bench = std::make_shared<SimBench>(DemoBench(), BenchClock(platform));
  AttachBench(platform, bench);
  const std::string tm36p = LinkInterfacePath(*bench, 1, 1);
  const std::string hv22 = LinkInterfacePath(*bench, 1, 2);
  ASSERT_EQ(tm36p.rfind("\\\\?\\usb#vid_1723&pid_0935#", 0), 0u) << tm36p;
  ASSERT_EQ(hv22.rfind("\\\\?\\usb#vid_1723&pid_0923#", 0), 0u) << hv22;
  const Pipes link1 = Open(platform, tm36p);
  const Pipes link2 = Open(platform, hv22);
  ASSERT_NE(link1.read, kInvalidHandle);
  ASSERT_NE(link1.write, kInvalidHandle);
  EXPECT_NE(Ask(platform, link1).value_or("").find("RM83P"), std::string::npos);
  EXPECT_NE(Ask(platform, link2).value_or("").find("HV22P0001"), std::string::npos);
  std::uint32_t done = 0;
  std::array<std::uint8_t, 8> block{};
  EXPECT_FALSE(platform.WriteFile(link1.read, block.data(), 8, &done)) << "PIPE00 only reads";
  EXPECT_EQ(platform.CreateFileA((tm36p + "\\PIPE02").c_str(), kGenericRead, 0, kOpenExisting),
            kInvalidHandle);
  for (Handle h : {link1.read, link1.write, link2.read, link2.write}) platform.CloseHandle(h);
}

TEST(BenchPlatform, UnplugAtAVirtualTimeFailsOpenPipesAndNewOpens) {
  SimPlatform platform(Bare());
  auto bench = std::make_shared<SimBench>(
      ParseBench(R"({"hubs": [{"id": "h"}], "units": [{"model": "HV22", "hub": "h",
                     "faults": [{"kind": "unplug", "at_ms": 2000}]}]})",
                 "unplug.json"),
      BenchClock(platform));
  int unplugged = -1;
  bench->SetOnUnplug([&](int unit) { unplugged = unit; });
  AttachBench(platform, bench);
  const std::string path = LinkInterfacePath(*bench, 0, 1);
  const Pipes pipes = Open(platform, path);
  EXPECT_TRUE(Ask(platform, pipes));
  platform.Clock().Advance(2000);
  EXPECT_FALSE(Ask(platform, pipes));
  EXPECT_EQ(unplugged, 0);
  EXPECT_EQ(Open(platform, path).read, kInvalidHandle);
  platform.CloseHandle(pipes.read);
  platform.CloseHandle(pipes.write);
}

}  // namespace
