// What lies under a disk, read from a sysfs tree made for each row: the
// partition's whole disk, a mapped device's members, a loop device whose node
// cannot be opened, a disk of its own.
#include "sys/posix/extras.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <sys/sysmacros.h>

namespace fs = std::filesystem;

TEST(layers, found_under_each_kind_of_disk)
{
    struct row {
        const char *name;
        std::vector<std::pair<const char *, const char *>> files; // under dev/block/9:1
        int count;
        lower_layer first;
    };
    const row rows[] = {
        {"partition",
         {{"size", "8"}, {"partition", "1"}, {"start", "2048"}, {"../dev", "8:0"}},
         1,
         {lower_kind::disk, makedev(8, 0), 0, 2048 * 512, 8 * 512}},
        {"mapped",
         {{"size", "8"}, {"slaves/m/dev", "7:3"}},
         1,
         {lower_kind::disk, makedev(7, 3), 0, -1, -1}},
        {"loop, no node",
         {{"size", "8"}, {"loop/backing_file", "/img"}, {"uevent", "DEVNAME=none"}},
         1,
         {lower_kind::any_file, 0, 0, -1, -1}},
        {"own bytes", {{"size", "8"}}, 0, {}},
        {"unknown", {}, -1, {}},
    };
    const fs::path sysfs = fs::temp_directory_path() / "torvex-sysfs";
    for (const row &r : rows) {
        fs::remove_all(sysfs);
        const fs::path disk = sysfs / "devices/9:1";
        fs::create_directories(disk);
        fs::create_directories(sysfs / "dev/block");
        fs::create_directory_symlink(disk, sysfs / "dev/block/9:1");
        for (const auto &[name, text] : r.files) {
            fs::create_directories((disk / name).parent_path());
            std::ofstream(disk / name) << text << '\n';
        }
        lower_layer got[4] = {};
        const int count = find_lower_layers_in(sysfs.c_str(), makedev(9, 1), -1, got, 4);
        EXPECT_EQ(count, r.count) << r.name;
        if (count == 1 && r.count == 1) {
            EXPECT_TRUE(got[0].kind == r.first.kind && got[0].device == r.first.device &&
                        got[0].offset == r.first.offset && got[0].length == r.first.length)
                << r.name;
        }
    }
    fs::remove_all(sysfs);
}
