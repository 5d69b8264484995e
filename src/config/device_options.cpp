#include "config/device_options.h"

#include "platform/folders.h"
#include "xml/xml_document.h"

namespace config {

namespace {

DeviceOptionMap& Map() {
    static DeviceOptionMap map;
    return map;
}

// Finds `name` searching forward and takes its text; an element not found leaves `out` empty.
void Take(CXmlDocument& doc, const char* name, std::string& out) {
    if (doc.FindElement(name))
        out = doc.GetText();
}

}  // namespace

DeviceOptionMap ReadDeviceOptions(const std::string& path) {
    DeviceOptionMap map;
    if (!platform::IsFile(path))
        return map;
    CXmlDocument doc;
    if (!doc.Load(path) || !doc.FindElement() || !doc.IntoElement())
        return map;
    while (doc.FindElement("Name")) {
        if (!doc.IntoElement()) {
            map[""];  // a Name without children is a set with an empty name and no records
            continue;
        }
        std::string set_name;
        Take(doc, "NAME", set_name);
        std::vector<DeviceOptionRecord>& records = map[set_name];
        // The records are searched forward from NAME, as every element of this file is.
        while (doc.FindElement("ProductType")) {
            DeviceOptionRecord r;
            if (doc.IntoElement()) {
                Take(doc, "ProductType", r.product_type);
                Take(doc, "DeviceType", r.device_type);
                Take(doc, "DeviceName", r.device_name);
                Take(doc, "FuncCode", r.function_code);
                Take(doc, "LangCode", r.language_code);
                doc.OutOfElement();
            }
            records.push_back(std::move(r));
        }
        doc.OutOfElement();
    }
    return map;
}

const DeviceOptionMap& DeviceOptions() {
    return Map();
}

void LoadDeviceOptions(const std::string& program_folder) {
    Map() = ReadDeviceOptions(program_folder + "DeviceInfo.xml");
}

}  // namespace config
