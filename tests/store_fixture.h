// Shared fixture of the store and request-building tests: a module with its own temporary home
// and data folder, a fake wall clock, a download thread that is never started (its hand-overs run
// at once on the test thread, which owns the loop) and the log lines the module echoes.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "download/OnlineClient.h"
#include "platform/Clock.h"
#include "platform/EventLoop.h"
#include "service/main.h"
#include "fake_clock.h"

class DownloadFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/pelorn-store-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        std::filesystem::create_directories(root_ / "home");
        ModuleOptions options;
        options.home = (root_ / "home").string();
        options.clock = &clock_;
        options.onLogLine = [this](const std::string& line) { logLines_.push_back(line); };
        module_ = std::make_unique<TPelornDataLoader>(loop_, std::move(options));
        module_->FHomeFolder = (root_ / "home").string();
        module_->FDataFolder = DataFolder().string();
        thread_ = std::make_unique<TOnlineClientThread>(*module_, loop_);
    }
    void TearDown() override {
        thread_.reset();
        module_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    std::filesystem::path DataFolder() const { return root_ / "data"; }
    std::filesystem::path DeviceFolder(uint32_t serial) const {
        char name[16];
        std::snprintf(name, sizeof name, "%07u", serial);
        return DataFolder() / name;
    }
    static void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string ReadFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The logged lines without their time stamps' ending.
    std::vector<std::string> LoggedLines() const {
        std::vector<std::string> out;
        for (std::string line : logLines_) {
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            out.push_back(line);
        }
        return out;
    }
    static bool EndsWith(const std::string& text, const std::string& tail) {
        return text.size() >= tail.size() &&
               text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    }

    std::filesystem::path root_;
    testutil::FakeClock clock_;
    platform::EventLoop loop_;
    std::unique_ptr<TPelornDataLoader> module_;
    std::unique_ptr<TOnlineClientThread> thread_;
    std::vector<std::string> logLines_;
};
