// The model table and the device list on their own.
#include "SsdDeviceList.h"
#include "SsdModel.h"

#include <gtest/gtest.h>
#include <stdexcept>

namespace {

TEST(SupportedSsdModels, HoldsTheFiveRowsInOrderAndMatchesExactly)
{
    SupportedSsdModels table;
    ASSERT_EQ(table.size(), 5u);
    const char* names[] = {"SanDisk SSD P4 64GB", "SanDisk SSD U100 64GB", "SanDisk SSD U100 128GB",
                           "DEF_SANDISK_ALGO", "DEF_SSDLOG_ALGO"};
    const unsigned sources[] = {3, 2, 2, 3, 2};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(table[i]->name, names[i]);
        EXPECT_EQ(table[i]->algo->getPercentageUsedSource(), sources[i]);
    }
    struct Case {
        std::string name;
        bool found;
    } cases[] = {
        {"SanDisk SSD P4 64GB", true},   {"SanDisk SSD P4 64GB ", false}, {" SanDisk SSD P4 64GB", false},
        {"SANDISK SSD P4 64GB", false},  {"SanDisk SSD P4", false},       {"DEF_SSDLOG_ALGO", true},
        {"", false},
    };
    for (Case& c : cases) {
        EXPECT_EQ(table.match(c.name), c.found) << "[" << c.name << "]";
        EXPECT_EQ(table.getSsdModelAlgo(c.name) != nullptr, c.found) << "[" << c.name << "]";
    }
    EXPECT_EQ(table.getSsdLogAlgo(), table[4]->algo.get());
    EXPECT_EQ(table.getDefaultSanDiskAlgo(), table[3]->algo.get());
    std::string p4 = "SanDisk SSD P4 64GB";
    EXPECT_EQ(table.getSsdModelAlgo(p4), table[0]->algo.get());
}

TEST(SsdDeviceList, IndexesPastTheEndGiveNullAndNegativeOnesThrow)
{
    SsdDeviceList list;
    EXPECT_EQ(list.getNumSsdDevices(), 0);
    EXPECT_EQ(list.getSsdDeviceAt(0), nullptr);
    EXPECT_THROW(list.getSsdDeviceAt(-1), std::out_of_range);
    list.add(new SsdDevice());
    EXPECT_EQ(list.getNumSsdDevices(), 1);
    EXPECT_NE(list.getSsdDeviceAt(0), nullptr);
    EXPECT_EQ(list.getSsdDeviceAt(list.getNumSsdDevices()), nullptr);
}

} // namespace
