// A service module over a temporary home folder, for the catalogue tests: the DBF and password
// folders lie in the home folder as the settings would put them.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/Text.h"
#include "service/main.h"

class CatalogueTest : public ::testing::Test {
  protected:
    CatalogueTest()
        : home_(MakeHome()),
          module_(loop_, ModuleOptions{home_.string(), nullptr,
                                       [this](const std::string& line) { log_.push_back(line); }}) {
        module_.FHomeFolder = home_.string();
        module_.FDBFFolder = (home_ / "DBF").string();
        module_.FPasswordsFolder = (home_ / "Passwords").string() + "/";
        std::filesystem::create_directories(home_ / "DBF");
    }
    ~CatalogueTest() override {
        std::error_code ignored;
        std::filesystem::permissions(home_ / "Devices.txt", std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(home_, ignored);
    }

    // Writes a file below the home folder, making its folders.
    void Put(const std::string& relative, const std::string& bytes) {
        const auto path = home_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    std::string Get(const std::string& relative) const {
        std::ifstream in(home_ / relative, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::filesystem::path Path(const std::string& relative) const { return home_ / relative; }

    static std::string W(const char* utf8) { return platform::Cp1251(utf8); }

    std::filesystem::path home_;
    std::vector<std::string> log_;  // stamped lines as the module wrote them
    platform::EventLoop loop_;
    TPelornDataLoader module_;

  private:
    static std::filesystem::path MakeHome() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "pelorn-catalogue-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        return pattern;
    }
};
