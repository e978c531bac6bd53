// A fixture with a fresh folder of its own under the system's temporary
// folder, removed after the test. The folder's name is random and it is
// created only if no such folder exists, so test programs running at the
// same time (the release, sanitizer and Windows builds) never share one.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        for (int attempt = 0; attempt < 100; ++attempt) {
            auto candidate = std::filesystem::temp_directory_path() /
                             ("hmap-unit-" + std::to_string(random()) + "-" + std::to_string(random()));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error)) {
                dir = candidate;
                return;
            }
        }
        FAIL() << "no scratch folder could be made under " << std::filesystem::temp_directory_path();
    }
    void TearDown() override {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }

    std::string path(const char* name) const { return (dir / name).string(); }

    std::filesystem::path dir;
};
