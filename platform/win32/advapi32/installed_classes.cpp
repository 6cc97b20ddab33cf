#include "advapi32/installed_classes.h"

#include <string_view>

namespace tm350::registry {

namespace {

struct InstalledClass {
    std::u16string_view clsid;
    std::u16string_view name;
    std::u16string_view module;  // as Windows names it; LoadLibrary maps it to the platform's library
};

// The media framework's runtime classes and the Windows modules that serve
// them. All are free-threaded apartment-neutral servers ("Both").
constexpr InstalledClass kInstalledClasses[] = {
    {u"{E436EBB3-524F-11CE-9F53-0020AF0BA770}", u"Filter Graph", u"quartz.dll"},
    {u"{E436EBB1-524F-11CE-9F53-0020AF0BA770}", u"System Clock", u"quartz.dll"},
    {u"{1E651CC0-B199-11D0-8212-00C04FC32C45}", u"Memory Allocator", u"quartz.dll"},
    {u"{CDA42200-BD88-11D0-BD4E-00A0C911CE86}", u"Filter Mapper2", u"quartz.dll"},
    {u"{E436EBB2-524F-11CE-9F53-0020AF0BA770}", u"Filter Mapper", u"quartz.dll"},
    {u"{62BE5D10-60EB-11D0-BD3B-00A0C911CE86}", u"System Device Enum", u"devenum.dll"},
    {u"{C1F400A0-3F08-11D3-9F0B-006008039E37}", u"SampleGrabber", u"qedit.dll"},
    {u"{C1F400A4-3F08-11D3-9F0B-006008039E37}", u"Null Renderer", u"qedit.dll"},
};

Value StringValue(std::u16string_view name, std::u16string_view text) {
    Value value;
    value.name = name;
    value.type = REG_SZ;
    const auto *bytes = reinterpret_cast<const BYTE *>(text.data());
    value.data.assign(bytes, bytes + text.size() * sizeof(char16_t));
    value.data.insert(value.data.end(), sizeof(char16_t), 0);
    return value;
}

Key &AddKey(HiveContents &hive, Key &parent, std::u16string_view name) {
    Key key;
    key.name = name;
    key.id = hive.TakeKeyId();
    key.last_write_time = CurrentFileTime();
    return parent.InsertSubkey(std::move(key));
}

}  // namespace

HiveContents InstalledContents(HiveKind kind) {
    HiveContents hive = HiveContents::Empty();
    if (kind != HiveKind::ClassesRoot) return hive;
    Key &classes = AddKey(hive, hive.root, u"CLSID");
    for (const InstalledClass &installed : kInstalledClasses) {
        Key &class_key = AddKey(hive, classes, installed.clsid);
        class_key.values.push_back(StringValue(u"", installed.name));
        Key &server = AddKey(hive, class_key, u"InprocServer32");
        server.values.push_back(StringValue(u"", installed.module));
        server.values.push_back(StringValue(u"ThreadingModel", u"Both"));
    }
    return hive;
}

}  // namespace tm350::registry
