#pragma once
// A configuration folder of the test's own, and the log handler in place before it restored.
#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <util/base.h>
#include <util/bmem.h>
#include <util/platform.h>
#include <vector>

#include "FileLog.h"
#include "LogFolder.h"

inline std::vector<std::string> ReadLines(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
#if defined(_WIN32)
        if (!line.empty() && line.back() == '\r')
            line.pop_back(); // the text-mode line end
#endif
        lines.push_back(line);
    }
    return lines;
}

inline void Touch(const std::string &path)
{
    std::ofstream(path).put('x');
}

class FileLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#if !defined(_WIN32)
        // Windows takes the configuration folder from the profile, not from the environment;
        // the Windows tests run in a throw-away prefix.
        ASSERT_TRUE(config_.isValid());
        qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
#endif
        char *path = os_get_config_path_ptr("kiv-studio/logs");
        logs_ = path;
        bfree(path);
        QDir(QString::fromStdString(logs_)).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(logs_)));
        base_get_log_handler(&previous_, &previousParam_);
        SetMaxLogFiles(0);
    }
    void TearDown() override
    {
        base_set_log_handler(previous_, previousParam_);
    }

    std::vector<std::string> Files() const
    {
        std::vector<std::string> names;
        os_dir_t *dir = os_opendir(logs_.c_str());
        while (os_dirent *entry = dir ? os_readdir(dir) : nullptr)
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        if (dir)
            os_closedir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string CurrentPath() const
    {
        return logs_ + "/" + CurrentLogFileName();
    }

    QTemporaryDir config_;
    std::string logs_;
    log_handler_t previous_ = nullptr;
    void *previousParam_ = nullptr;
};
