// A whole console on the simulated platform and the headless toolkit, for tests that follow an
// operator's session: entries put into DeviceList stand for discovered autoloaders, and scripted
// workers stand for the families' sequences.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "console/Unit1.h"
#include "console/Unit2.h"
#include "device/Device.h"
#include "platform/sim/SimPlatform.h"
#include "report/RunRecord.h"
#include "report/StepList.h"
#include "report/TestLog.h"
#include "sequences/Runner.h"
#include "ui/headless/HeadlessToolkit.h"

#ifdef _WIN32
#include <process.h>
inline int ProcessId() {
  return _getpid();
}
#else
#include <unistd.h>
inline int ProcessId() {
  return static_cast<int>(getpid());
}
#endif

// A worker whose state handlers are lambdas; each acts only in its own state, like a family's.
class ScriptedWorker : public TSequenceThread {
 public:
  using Handler = std::function<void(ScriptedWorker&)>;
  ScriptedWorker(std::unique_ptr<RunContext> run, std::map<int, Handler> handlers)
      : TSequenceThread(std::move(run)), handlers_(std::move(handlers)) {}
  using TSequenceThread::Channel;
  using TSequenceThread::Prompt;
  using TSequenceThread::RunActive;
  using TSequenceThread::StepBegin;
  using TSequenceThread::StepFailed;
  using TSequenceThread::StepPassed;
  using TSequenceThread::StepState;
  using TSequenceThread::StepWarned;
  DeviceEntry* Device() const { return TestedDevice; }

 protected:
  int HighestState() const override { return handlers_.empty() ? 0 : handlers_.rbegin()->first; }
  void RunHandler(int state) override {
    if (StepState != state) return;
    auto it = handlers_.find(state);
    if (it != handlers_.end()) it->second(*this);
  }

 private:
  std::map<int, Handler> handlers_;
};

// Builds a DeviceEntry as discovery would leave it.
inline std::unique_ptr<DeviceEntry> MakeEntry(const std::string& model, const char* vidPid) {
  auto entry = std::make_unique<DeviceEntry>();
  entry->ModelName = model;
  std::strncpy(entry->VidPidText, vidPid, sizeof(entry->VidPidText) - 1);
  return entry;
}

class ConsoleFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // One folder of the test's own, right in the temporary folder: a parameterised test's name
    // holds "/", which would make it a folder inside another that TearDown never removes.
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    std::replace(name.begin(), name.end(), '/', '_');
    workDir_ = std::filesystem::temp_directory_path() /
               ("veltrane-console-" + std::to_string(ProcessId()) + "-" + name);
    std::filesystem::create_directories(workDir_);
    oldDir_ = std::filesystem::current_path();
    std::filesystem::current_path(workDir_);
    platform::SetPlatform(&sim_);
    ui::SetToolkit(&toolkit_);
    ResetRunRecords();  // no record left pending by an earlier test
    SetWorkerFactory([this](WorkerClass kind,
                            std::unique_ptr<RunContext> run) -> std::unique_ptr<SequenceWorker> {
      startedClasses.push_back(kind);
      auto worker = std::make_unique<ScriptedWorker>(std::move(run), handlers);
      worker->Start();
      return worker;
    });
  }

  void TearDown() override {
    form1_.reset();
    form2_.reset();
    SetWorkerFactory(nullptr);
    ui::SetToolkit(nullptr);
    platform::SetPlatform(nullptr);
    std::filesystem::current_path(oldDir_);
    std::error_code ignored;
    std::filesystem::remove_all(workDir_, ignored);
  }

  // Program start: the main window (FormCreate), then the hidden result dialog.
  void StartProgram() {
    form1_ = std::make_unique<TForm1>();
    form1_->FormCreate();
    form2_ = std::make_unique<TForm2>();
  }

  void AddEntry(const std::string& model, const char* vidPid) {
    DeviceList.push_back(MakeEntry(model, vidPid));
  }

  // Presses Start and runs the GUI loop until the end of the run has been handled.
  void RunToEnd() {
    const int shown = toolkit_.ModalShowings();
    const auto prompts = toolkit_.Prompts().size();
    form().Button1.Click();
    toolkit_.RunUntil([&] {
      return !form().Timer1.Enabled() && form().Button1.Caption() == "Start" &&
             (toolkit_.ModalShowings() > shown || toolkit_.Prompts().size() > prompts);
    });
  }

  std::vector<std::string> Captions() const {
    std::vector<std::string> rows;
    for (const auto& item : form1_->ListView1.Items()) rows.push_back(item.caption);
    return rows;
  }
  std::vector<int> Icons() const {
    std::vector<int> icons;
    for (const auto& item : form1_->ListView1.Items()) icons.push_back(item.imageIndex);
    return icons;
  }
  // The log's messages in clear.
  std::vector<std::string> LogMessages() const {
    std::vector<std::string> out;
    for (const std::string& line : LogLinesSnapshot()) {
      const std::string prefix = line.substr(0, kLogPrefixLength);
      out.push_back(UnscrambleLogText(line.substr(kLogPrefixLength), LogOffsetForPrefix(prefix)));
    }
    return out;
  }

  TForm1& form() { return *form1_; }
  TForm2& dialog() { return *form2_; }

  platform::sim::SimPlatform sim_;
  ui::headless::HeadlessToolkit toolkit_;
  std::map<int, ScriptedWorker::Handler> handlers;
  std::vector<WorkerClass> startedClasses;
  std::filesystem::path workDir_;
  std::filesystem::path oldDir_;

 private:
  std::unique_ptr<TForm1> form1_;
  std::unique_ptr<TForm2> form2_;
};
