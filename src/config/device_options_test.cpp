#include "config/device_options.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/test_files.h"

namespace {

using config::DeviceOptionRecord;

TEST(DeviceOptions, SetsRecordsAndMissingFields) {
    test_files::TempFolder root;
    test_files::WriteFile(
        root / "DeviceInfo.xml",
        "<list>"
        "<Name><NAME>NVR</NAME>"
        "<ProductType><ProductType>P1</ProductType><DeviceType>D1</DeviceType>"
        "<DeviceName>N1</DeviceName><FuncCode>F1</FuncCode><LangCode>L1</LangCode></ProductType>"
        "<ProductType><ProductType>P2</ProductType><LangCode>L2</LangCode></ProductType>"
        "</Name>"
        "<Other/>"
        "<Name><NAME>IPC</NAME><ProductType><DeviceName>N3</DeviceName></ProductType></Name>"
        "<Name><NAME>NVR</NAME><ProductType><ProductType>P4</ProductType></ProductType></Name>"
        "<Name><ProductType><ProductType>P5</ProductType></ProductType></Name>"
        "</list>");
    config::LoadDeviceOptions(root.path() + "/");
    const config::DeviceOptionMap& map = config::DeviceOptions();
    ASSERT_EQ(map.size(), 3u);
    EXPECT_EQ(map.at("NVR"), (std::vector<DeviceOptionRecord>{
                                 {"P1", "D1", "N1", "F1", "L1"},
                                 {"P2", "", "", "", "L2"},
                                 {"P4", "", "", "", ""},
                             }));
    EXPECT_EQ(map.at("IPC"), (std::vector<DeviceOptionRecord>{{"", "", "N3", "", ""}}));
    EXPECT_EQ(map.at(""), (std::vector<DeviceOptionRecord>{{"P5", "", "", "", ""}}));
}

TEST(DeviceOptions, MissingOrDamagedFileGivesNoSets) {
    test_files::TempFolder root;
    EXPECT_TRUE(config::ReadDeviceOptions(root / "DeviceInfo.xml").empty());
    const char* damaged[] = {"", "<list><Name><NAME>x</NAME></Name>", "<a/><b/>", "garbage"};
    for (const char* text : damaged) {
        test_files::WriteFile(root / "DeviceInfo.xml", text);
        EXPECT_TRUE(config::ReadDeviceOptions(root / "DeviceInfo.xml").empty()) << text;
    }
}

TEST(DeviceOptions, ShippedFileHasOptionSetsOfRecordersAndCamerasSharingAModel) {
    config::DeviceOptionMap map = config::ReadDeviceOptions(ZQ_SOURCE_DIR "/data/DeviceInfo.xml");
    ASSERT_GE(map.size(), 2u);
    std::map<std::string, int> sets_of_model;
    for (const auto& [name, records] : map) {
        EXPECT_FALSE(name.empty());
        ASSERT_FALSE(records.empty()) << name;
        for (const DeviceOptionRecord& r : records) {
            EXPECT_FALSE(r.product_type.empty()) << name;
            EXPECT_FALSE(r.device_type.empty()) << name;
            ++sets_of_model[r.product_type];
        }
    }
    auto any_model = [&](const char* prefix) {
        for (const auto& [model, sets] : sets_of_model) {
            if (model.rfind(prefix, 0) == 0)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(any_model("NVR"));  // recorders
    EXPECT_TRUE(any_model("IPC"));  // cameras
    int shared = 0;
    for (const auto& [model, sets] : sets_of_model)
        shared += sets > 1 ? 1 : 0;
    EXPECT_GE(shared, 2);  // a recorder and a camera model in two sets each
}

}  // namespace
