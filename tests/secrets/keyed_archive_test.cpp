#include "secrets/keyed_archive.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <memory>
#include <string>

#include "archive_builders.h"
#include "secrets/plist_limits.h"

namespace lockstep::testing {
namespace {

// A test record that can point at another of its kind, to make chains and
// cycles of objects.
class ChainNode final : public KeyedEncodable {
  public:
    static constexpr std::string_view kClassName = "ChainNode";

    static std::shared_ptr<ChainNode> init(KeyedUnarchiver& coder) {
        auto node = std::make_shared<ChainNode>();
        node->name = coder.decodeObject("name").string().value_or("?");
        node->number = coder.decodeObject("number").integer();
        node->next = coder.decodeObject("next").object<ChainNode>();
        return node;
    }
    void encode(KeyedArchiver& coder) const override {
        coder.encodeObject(std::string_view(name), "name");
        if (number.has_value()) {
            coder.encodeObject(*number, "number");
        }
        coder.encodeObject(next.get(), "next");
        coder.encodeBool(true, "flag");
    }
    [[nodiscard]] std::string_view archiveClassName() const override { return kClassName; }

    std::string name;
    std::optional<std::int64_t> number;
    std::shared_ptr<ChainNode> next;
};

std::shared_ptr<ChainNode> decodeRoot(const Bytes& data) {
    const std::unique_ptr<KeyedUnarchiver> coder = KeyedUnarchiver::open(data);
    return coder == nullptr ? nullptr : coder->decodeObject("root").object<ChainNode>();
}

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using Plist = std::unique_ptr<void, PlistFree>;

Plist parse(const Bytes& data) {
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(data.data()), static_cast<uint32_t>(data.size()),
                   &root);
    return Plist(root);
}

std::string stringAt(plist_t node) {
    char* text = nullptr;
    plist_get_string_val(node, &text);
    std::string out = text == nullptr ? "" : text;
    free(text);  // NOLINT: libplist hands out malloc'd text
    return out;
}

std::uint64_t uidAt(plist_t node) {
    std::uint64_t value = 0;
    EXPECT_EQ(plist_get_node_type(node), PLIST_UID);
    plist_get_uid_val(node, &value);
    return value;
}

TEST(KeyedArchiverTest, WritesTheKeyedArchiverLayout) {
    ChainNode node;
    node.name = "first";
    const std::optional<Bytes> data = KeyedArchiver::archivedData(node);
    ASSERT_TRUE(data.has_value());
    const Plist root = parse(*data);
    ASSERT_NE(root, nullptr);
    plist_t r = root.get();
    EXPECT_EQ(stringAt(plist_dict_get_item(r, "$archiver")), "NSKeyedArchiver");
    std::uint64_t version = 0;
    plist_get_uint_val(plist_dict_get_item(r, "$version"), &version);
    EXPECT_EQ(version, 100000U);
    EXPECT_EQ(uidAt(plist_dict_get_item(plist_dict_get_item(r, "$top"), "root")), 1U);

    plist_t objects = plist_dict_get_item(r, "$objects");
    EXPECT_EQ(stringAt(plist_array_get_item(objects, 0)), "$null");
    plist_t record = plist_array_get_item(objects, 1);
    ASSERT_EQ(plist_get_node_type(record), PLIST_DICT);
    // No "next": a null object writes nothing. The boolean is inline.
    EXPECT_EQ(plist_dict_get_item(record, "next"), nullptr);
    EXPECT_EQ(plist_get_node_type(plist_dict_get_item(record, "flag")), PLIST_BOOLEAN);
    const std::uint64_t name = uidAt(plist_dict_get_item(record, "name"));
    EXPECT_EQ(stringAt(plist_array_get_item(objects, static_cast<uint32_t>(name))), "first");
    plist_t cls = plist_array_get_item(
        objects, static_cast<uint32_t>(uidAt(plist_dict_get_item(record, "$class"))));
    EXPECT_EQ(stringAt(plist_dict_get_item(cls, "$classname")), "ChainNode");
    plist_t chain = plist_dict_get_item(cls, "$classes");
    ASSERT_EQ(plist_array_get_size(chain), 2U);
    EXPECT_EQ(stringAt(plist_array_get_item(chain, 0)), "ChainNode");
    EXPECT_EQ(stringAt(plist_array_get_item(chain, 1)), "NSObject");
}

TEST(KeyedArchiverTest, IntegersKeepTheirSignInBothFormats) {
    for (const PlistFormat format : {PlistFormat::Binary, PlistFormat::XML}) {
        for (const std::int64_t number :
             {std::int64_t{-1}, std::int64_t{0}, std::int64_t{501}, INT64_MIN, INT64_MAX}) {
            ChainNode node;
            node.number = number;
            const std::optional<Bytes> data = KeyedArchiver::archivedData(node, format);
            ASSERT_TRUE(data.has_value());
            const auto decoded = decodeRoot(*data);
            ASSERT_NE(decoded, nullptr);
            EXPECT_EQ(decoded->number, number);
        }
    }
}

// A record holding a dictionary from data to chain nodes.
class Holder final : public KeyedEncodable {
  public:
    static constexpr std::string_view kClassName = "Holder";
    [[nodiscard]] std::string_view archiveClassName() const override { return kClassName; }
    void encode(KeyedArchiver& coder) const override { coder.encodeObject(map, "map"); }

    std::map<Bytes, std::shared_ptr<ChainNode>> map;
};

TEST(KeyedArchiverTest, TextsAreWrittenAsUTF8InBothFormats) {
    for (const PlistFormat format : {PlistFormat::Binary, PlistFormat::XML}) {
        ChainNode node;
        node.name = "ok \xc3\xa9 \xff cut\xe2\x82";
        const auto decoded =
            decodeRoot(KeyedArchiver::archivedData(node, format).value_or(Bytes()));
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->name, "ok \xc3\xa9 \xef\xbf\xbd cut\xef\xbf\xbd\xef\xbf\xbd");
    }
}

TEST(KeyedUnarchiverTest, SharedObjectsAreWrittenOnceAndDecodedOnce) {
    auto shared = std::make_shared<ChainNode>();
    shared->name = "shared";
    Holder holder;
    holder.map = {{Bytes{1}, shared}, {Bytes{2}, shared}, {Bytes{3}, nullptr}};
    const std::optional<Bytes> data = KeyedArchiver::archivedData(holder);
    ASSERT_TRUE(data.has_value());
    const auto coder = KeyedUnarchiver::open(*data);
    ASSERT_NE(coder, nullptr);
    const ArchivedObject root = coder->decodeObject("root");
    EXPECT_EQ(root.className(), "Holder");
    EXPECT_EQ(root.object<ChainNode>(), nullptr);  // another class

    std::shared_ptr<ChainNode> first;
    std::shared_ptr<ChainNode> second;
    (void)root.object<Holder>([&](KeyedUnarchiver& inner) {
        const auto entries = inner.decodeObject("map").dictionary();
        EXPECT_TRUE(entries.has_value());
        if (entries.has_value()) {
            EXPECT_EQ(entries->size(), 2U);  // the null entry was left out
            first = entries->at(0).second.object<ChainNode>();
            second = entries->at(1).second.object<ChainNode>();
            EXPECT_EQ(entries->at(1).first.data(), Bytes{2});
        }
        return std::make_shared<Holder>();
    });
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->name, "shared");
    EXPECT_EQ(first, second);
}

TEST(KeyedUnarchiverTest, CyclesAreBroken) {
    auto a = std::make_shared<ChainNode>();
    auto b = std::make_shared<ChainNode>();
    a->name = "a";
    b->name = "b";
    a->next = b;
    b->next = a;
    const std::optional<Bytes> data = KeyedArchiver::archivedData(*a);
    b->next.reset();  // let the test's own cycle go
    ASSERT_TRUE(data.has_value());
    const auto decoded = decodeRoot(*data);
    ASSERT_NE(decoded, nullptr);
    ASSERT_NE(decoded->next, nullptr);
    EXPECT_EQ(decoded->next->name, "b");
    EXPECT_EQ(decoded->next->next, nullptr);

    // A record that names itself.
    const Bytes self = xmlArchive(
        "<key>root</key>" + xmlUID(1),
        {"<dict><key>$class</key>" + xmlUID(2) + "<key>next</key>" + xmlUID(1) + "</dict>",
         xmlClass("ChainNode")});
    const auto selfDecoded = decodeRoot(self);
    ASSERT_NE(selfDecoded, nullptr);
    EXPECT_EQ(selfDecoded->next, nullptr);
}

TEST(KeyedUnarchiverTest, ObjectNestingIsCapped) {
    auto head = std::make_shared<ChainNode>();
    ChainNode* tail = head.get();
    for (int i = 0; i < 100; ++i) {
        tail->next = std::make_shared<ChainNode>();
        tail = tail->next.get();
    }
    const std::optional<Bytes> data = KeyedArchiver::archivedData(*head);
    ASSERT_TRUE(data.has_value());
    auto node = decodeRoot(*data);
    std::size_t length = 0;
    for (; node != nullptr; node = node->next) {
        ++length;
    }
    EXPECT_EQ(length, kMaxDecodeDepth);
}

TEST(KeyedUnarchiverTest, ReferencesOutsideTheObjectsReadAsNil) {
    const Bytes data =
        xmlArchive("<key>root</key>" + xmlUID(1) + "<key>far</key>" + xmlUID(1000000),
                   {"<dict><key>$class</key>" + xmlUID(77) + "<key>name</key>" + xmlUID(99) +
                    "<key>next</key>" + xmlUID(0) + "</dict>"});
    const auto coder = KeyedUnarchiver::open(data);
    ASSERT_NE(coder, nullptr);
    EXPECT_TRUE(coder->decodeObject("far").isNil());
    EXPECT_TRUE(coder->decodeObject("missing").isNil());
    // The root's class reference points nowhere: it is no ChainNode.
    EXPECT_EQ(coder->decodeObject("root").object<ChainNode>(), nullptr);
    EXPECT_FALSE(coder->decodeObject("root").className().has_value());
}

TEST(KeyedUnarchiverTest, RefusesWhatIsNotAKeyedArchive) {
    const std::vector<Bytes> inputs = {
        Bytes(),
        toBytes("not a property list"),
        toBytes("bplist00"),
        toBytes("<plist><array/></plist>"),
        toBytes("<plist><dict><key>$archiver</key><string>Other</string></dict></plist>"),
        // No "$objects".
        toBytes("<plist><dict><key>$archiver</key><string>NSKeyedArchiver</string>"
                "<key>$top</key><dict/></dict></plist>"),
    };
    for (const Bytes& input : inputs) {
        EXPECT_EQ(KeyedUnarchiver::open(input), nullptr);
    }
    // Just over the size cap, however well formed.
    ChainNode big;
    big.name = std::string(kMaxKeyedArchiveBytes, 'x');
    const std::optional<Bytes> data = KeyedArchiver::archivedData(big);
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(KeyedUnarchiver::open(*data), nullptr);
}

TEST(KeyedUnarchiverTest, TruncatedAndDamagedArchivesNeverCrash) {
    auto node = std::make_shared<ChainNode>();
    node->name = "first";
    node->number = -1;
    node->next = std::make_shared<ChainNode>();
    for (const PlistFormat format : {PlistFormat::Binary, PlistFormat::XML}) {
        const std::optional<Bytes> data = KeyedArchiver::archivedData(*node, format);
        ASSERT_TRUE(data.has_value());
        for (std::size_t length = 0; length < data->size(); ++length) {
            (void)decodeRoot(Bytes(data->begin(), data->begin() + static_cast<long>(length)));
        }
        // Every byte of the binary form, every fifth of the longer XML form.
        const std::size_t stride = format == PlistFormat::Binary ? 1 : 5;
        for (std::size_t at = 0; at < data->size(); at += stride) {
            for (const std::uint8_t value :
                 std::initializer_list<std::uint8_t>{0x00, 0x0F, 0x7F, 0x80, 0xFF}) {
                Bytes damaged = *data;
                damaged[at] = value;
                (void)decodeRoot(damaged);
            }
        }
    }
}

const PlistLimits kArchiveLimits{kMaxKeyedArchiveBytes, kMaxKeyedArchiveNesting,
                                 kMaxKeyedArchiveNodes, kMaxKeyedArchivePayload};

TEST(PlistLimitsTest, AcceptsOrdinaryArchives) {
    ChainNode node;
    node.name = "n";
    for (const PlistFormat format : {PlistFormat::Binary, PlistFormat::XML}) {
        const std::optional<Bytes> data = KeyedArchiver::archivedData(node, format);
        ASSERT_TRUE(data.has_value());
        EXPECT_TRUE(plistWithinLimits(*data, kArchiveLimits));
    }
}

TEST(PlistLimitsTest, RefusesBinaryShapesTheParserCannotBear) {
    // Each array contains the next: libplist would recurse 100,000 deep.
    RawBinaryPlist deep;
    for (std::uint32_t i = 0; i < 100000; ++i) {
        deep.add(i + 1 < 100000 ? RawBinaryPlist::array({i + 1}) : RawBinaryPlist::array({}));
    }
    // Each array refers twice to the next: 2^40 copies once expanded.
    RawBinaryPlist doubling;
    for (std::uint32_t i = 0; i < 40; ++i) {
        doubling.add(i + 1 < 40 ? RawBinaryPlist::array({i + 1, i + 1})
                                : RawBinaryPlist::array({}));
    }
    // A 512 KiB text referenced 64 times: 32 MiB once expanded.
    RawBinaryPlist wide;
    wide.add(RawBinaryPlist::array(std::vector<std::uint32_t>(64, 1)));
    wide.add(RawBinaryPlist::ascii(std::string(512 * 1024, 'x')));
    // Cycles.
    RawBinaryPlist self;
    self.add(RawBinaryPlist::array({0}));
    RawBinaryPlist mutual;
    mutual.add(RawBinaryPlist::dict({2}, {1}));
    mutual.add(RawBinaryPlist::array({0}));
    mutual.add(RawBinaryPlist::ascii("k"));
    // Counts far beyond the file.
    RawBinaryPlist hugeArray;
    hugeArray.add(RawBinaryPlist::header(0xA, 1ULL << 62U));
    RawBinaryPlist hugeData;
    hugeData.add(RawBinaryPlist::header(0x4, (1ULL << 63U) + 5));
    RawBinaryPlist badRef;
    badRef.add(RawBinaryPlist::array({7}));

    for (const Bytes& data :
         {deep.build(0), doubling.build(0), wide.build(0), self.build(0), mutual.build(0),
          hugeArray.build(0), hugeData.build(0), badRef.build(0)}) {
        EXPECT_FALSE(plistWithinLimits(data, kArchiveLimits));
        EXPECT_EQ(KeyedUnarchiver::open(data), nullptr);
    }

    // Shared references within the bounds are fine.
    RawBinaryPlist fine;
    fine.add(RawBinaryPlist::array({1, 1, 1}));
    fine.add(RawBinaryPlist::ascii("shared"));
    EXPECT_TRUE(plistWithinLimits(fine.build(0), kArchiveLimits));
}

TEST(PlistLimitsTest, RefusesDeepXML) {
    std::string text = "<plist>";
    for (int i = 0; i < 50000; ++i) {
        text += "<array>";
    }
    for (int i = 0; i < 50000; ++i) {
        text += "</array>";
    }
    text += "</plist>";
    EXPECT_FALSE(plistWithinLimits(toBytes(text), kArchiveLimits));
    EXPECT_EQ(KeyedUnarchiver::open(toBytes(text)), nullptr);

    // Comments and self-closing elements do not count as nesting.
    std::string flat = "<plist><array>";
    for (int i = 0; i < 1000; ++i) {
        flat += "<true/><!-- <array> --><array></array>";
    }
    flat += "</array></plist>";
    EXPECT_TRUE(plistWithinLimits(toBytes(flat), kArchiveLimits));
}

}  // namespace
}  // namespace lockstep::testing
