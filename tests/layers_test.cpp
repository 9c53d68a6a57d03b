// What lies under a disk, read from a sysfs tree made for each row: the partition's whole disk, a
// mapped device's members, a loop device whose node cannot be opened, a disk of its own.
#include "sys/posix/extras.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/sysmacros.h>

namespace fs = std::filesystem;

// The count, then the first layer: kind, device, offset and length.
std::string describe(int count, const lower_layer &layer)
{
    char text[96];
    std::snprintf(text, sizeof text, "%d %d %u:%u %lld %lld", count, static_cast<int>(layer.kind),
                  major(layer.device), minor(layer.device), static_cast<long long>(layer.offset),
                  static_cast<long long>(layer.length));
    return count == 1 ? text : std::to_string(count);
}

TEST(layers, found_under_each_kind_of_disk)
{
    const struct {
        const char *files, *expected; // NAME=TEXT under dev/block/9:1; kind 0 disk, 2 any file
    } rows[] = {
        {"size=8 partition=1 start=2048 ../dev=8:0", "1 0 8:0 1048576 4096"},
        {"size=8 slaves/m/dev=7:3", "1 0 7:3 -1 -1"},
        {"size=8 loop/backing_file=/img uevent=DEVNAME=none", "1 2 0:0 -1 -1"},
        {"size=8", "0"},
        {"", "-1"},
    };
    const fs::path sysfs = fs::temp_directory_path() / "torvex-sysfs";
    for (const auto &row : rows) {
        fs::remove_all(sysfs);
        const fs::path disk = sysfs / "devices/9:1";
        fs::create_directories(disk);
        fs::create_directories(sysfs / "dev/block");
        fs::create_directory_symlink(disk, sysfs / "dev/block/9:1");
        std::istringstream files(row.files);
        for (std::string file; files >> file;) {
            const fs::path name = disk / file.substr(0, file.find('='));
            fs::create_directories(name.parent_path());
            std::ofstream(name) << file.substr(file.find('=') + 1) << '\n';
        }
        lower_layer got[4] = {};
        const int count = find_lower_layers_in(sysfs.c_str(), makedev(9, 1), -1, got, 4);
        EXPECT_EQ(describe(count, got[0]), row.expected) << row.files;
    }
    fs::remove_all(sysfs);
}
