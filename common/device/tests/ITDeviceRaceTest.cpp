// The interface table read by several request builders at once while it is rebuilt: each read
// holds the table it walks, so a rebuild on another thread never frees it under the reader.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/records/support/RecordsTestSupport.h"
#include "common/device/ITDevice.h"

using recordstest::addNetInterface;
using recordstest::TempRoot;
using sysinfo::AddressFamily;
using sysinfo::InterfaceAddress;
using common::ITDevice;

TEST(platform_ITDeviceRace, ReadsDuringRebuildsSeeAWholeTable) {
    TempRoot root;
    std::vector<InterfaceAddress> list;
    std::vector<std::string> expected;
    for (int i = 0; i < 32; ++i) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "08:00:27:00:00:%02x", i);
        const std::string name = "eth" + std::to_string(i + 10);
        addNetInterface(root, name, 2 + i, mac, true);
        InterfaceAddress e;
        e.name = name;
        e.up = true;
        e.hasAddress = true;
        e.family = AddressFamily::IPv4;
        e.address = "10.0.0." + std::to_string(i + 1);
        e.netmask = "255.255.255.0";
        list.push_back(e);
    }
    ITDevice device([&] { return list; });
    expected = device.macAddresses();
    ASSERT_EQ(expected.size(), 32u);

    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::thread rebuilder([&] {
        while (!stop) device.getMacAndIPAddr();
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                if (device.macAddresses() != expected) ++wrong;
            }
        });
    }
    for (auto& t : readers) t.join();
    stop = true;
    rebuilder.join();
    EXPECT_EQ(wrong.load(), 0);
}
