#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/bytes.h"
#include "platform/plist.h"

namespace lockstep {

class KeyedArchiver;
class KeyedUnarchiver;

// An object that writes itself to a keyed archive, recorded there under its
// class name.
class KeyedEncodable {
  public:
    virtual ~KeyedEncodable() = default;
    [[nodiscard]] virtual std::string_view archiveClassName() const = 0;
    virtual void encode(KeyedArchiver& coder) const = 0;
};

// Limits on the archives a KeyedUnarchiver accepts and on the work of
// decoding one.
inline constexpr std::size_t kMaxKeyedArchiveBytes = std::size_t{1024} * 1024;
inline constexpr std::size_t kMaxKeyedArchiveNesting = 32;  // of the property list
inline constexpr std::size_t kMaxKeyedArchiveNodes = 1U << 17U;
inline constexpr std::size_t kMaxKeyedArchivePayload = std::size_t{4} * 1024 * 1024;
inline constexpr std::size_t kMaxDecodeDepth = 32;  // of objects inside objects
inline constexpr std::size_t kMaxDecodedBytes = std::size_t{8} * 1024 * 1024;
inline constexpr std::size_t kMaxDecodeSteps = 1U << 20U;

// Writes objects in the platform's keyed-archiver layout: a root dictionary
// with "$archiver" = "NSKeyedArchiver", "$version" = 100000, "$top" (the
// top-level keys) and "$objects", whose entry 0 is "$null". Every object is
// an entry of "$objects" referenced by a UID. An object with a class is a
// dictionary of its keys plus "$class", the UID of an entry
// {"$classname": name, "$classes": [name, "NSObject"]}.
//
// Keys encoded directly on the archiver go to "$top"; those encoded while an
// object's encode() runs go to that object. An object encoded twice (the same
// instance) is written once and referenced twice.
class KeyedArchiver {
  public:
    KeyedArchiver();
    ~KeyedArchiver();
    KeyedArchiver(const KeyedArchiver&) = delete;
    KeyedArchiver& operator=(const KeyedArchiver&) = delete;

    // encodeObject:forKey: for a text, a data object, an integer number and
    // an object with a class. A null object writes nothing under the key.
    void encodeObject(std::string_view text, std::string_view key);
    void encodeObject(const char* text, std::string_view key) {
        encodeObject(std::string_view(text), key);
    }
    void encodeObject(const Bytes& data, std::string_view key);
    void encodeObject(std::int64_t number, std::string_view key);
    void encodeObject(const KeyedEncodable* object, std::string_view key);

    // encodeObject:forKey: for a dictionary (class "NSDictionary", with
    // "NS.keys" and "NS.objects") from data keys to objects. Entries whose
    // object is null are left out: a dictionary holds no nil.
    template <class Object>
    void encodeObject(const std::map<Bytes, std::shared_ptr<Object>>& dictionary,
                      std::string_view key) {
        const std::uint64_t uid = beginDictionary();
        std::vector<std::uint64_t> keys;
        std::vector<std::uint64_t> objects;
        for (const auto& [entryKey, entryObject] : dictionary) {
            if (entryObject == nullptr) {
                continue;
            }
            keys.push_back(addData(entryKey));
            objects.push_back(addObject(*entryObject));
        }
        finishDictionary(uid, keys, objects);
        setReference(key, uid);
    }

    // encodeBool:forKey:, stored inline in the current object.
    void encodeBool(bool value, std::string_view key);

    // The whole archive with `root` under the top-level key "root".
    [[nodiscard]] static std::optional<Bytes> archivedData(
        const KeyedEncodable& root, PlistFormat format = PlistFormat::Binary);

    // The archive written so far, as a property list.
    [[nodiscard]] std::optional<Bytes> encodedData(PlistFormat format = PlistFormat::Binary) const;

  private:
    std::uint64_t append(PlistNode node);
    std::uint64_t addText(std::string_view text);
    std::uint64_t addData(const Bytes& data);
    std::uint64_t addObject(const KeyedEncodable& object);
    std::uint64_t classReference(std::string_view className);
    std::uint64_t beginDictionary();
    void finishDictionary(std::uint64_t uid, const std::vector<std::uint64_t>& keys,
                          const std::vector<std::uint64_t>& objects);
    void setReference(std::string_view key, std::uint64_t uid);
    [[nodiscard]] PlistNode current() const { return current_.back(); }

    PlistPtr objects_;
    PlistPtr top_;
    std::vector<PlistNode> objectNodes_;  // entries of objects_, by UID
    std::vector<PlistNode> current_;      // dictionaries being written, innermost last
    std::map<const KeyedEncodable*, std::uint64_t> written_;
    std::map<std::string, std::uint64_t, std::less<>> classes_;
};

// A value read from a keyed archive under some key, not yet turned into
// anything: the reader tests it for the kind it expects. A handle is only
// valid while its unarchiver lives.
class ArchivedObject {
  public:
    ArchivedObject() = default;

    // Nothing under the key, UID 0, or a reference that cannot be followed.
    [[nodiscard]] bool isNil() const;
    // A text: a string entry, or an "NSString"/"NSMutableString" object.
    [[nodiscard]] std::optional<std::string> string() const;
    // A data entry, or an "NSData"/"NSMutableData" object.
    [[nodiscard]] std::optional<Bytes> data() const;
    // An integer number entry (not a real number, not a boolean).
    [[nodiscard]] std::optional<std::int64_t> integer() const;
    // The "$classname" of an object with a class.
    [[nodiscard]] std::optional<std::string> className() const;
    // An "NSDictionary"/"NSMutableDictionary" object: its keys and objects.
    [[nodiscard]] std::optional<std::vector<std::pair<ArchivedObject, ArchivedObject>>> dictionary()
        const;

    // An object whose "$classname" is Object::kClassName, built by `make`
    // reading from the unarchiver positioned on it. Each archive entry is
    // built once and shared by every reference to it; an entry that is
    // still being built (a cycle), one nested too deep, or one of another
    // class gives null.
    template <class Object, class Make>
    [[nodiscard]] std::shared_ptr<Object> object(Make&& make) const;
    // The same with Object::init(KeyedUnarchiver&).
    template <class Object>
    [[nodiscard]] std::shared_ptr<Object> object() const {
        return object<Object>([](KeyedUnarchiver& coder) { return Object::init(coder); });
    }

  private:
    friend class KeyedUnarchiver;
    ArchivedObject(KeyedUnarchiver* coder, std::uint64_t uid) : coder_(coder), uid_(uid) {}

    KeyedUnarchiver* coder_ = nullptr;
    std::uint64_t uid_ = 0;
};

// Reads an archive written by KeyedArchiver (binary or XML property list,
// UIDs as UID values or as {"CF$UID": n} dictionaries). Whatever the input,
// reading it is bounded: the archive size, the property list's nesting and
// expansion, the nesting of objects, the bytes copied out and the number of
// steps are all capped, cycles between objects are broken, and references
// outside "$objects" read as nil. Past a cap, values read as nil.
class KeyedUnarchiver {
    struct Token {
        explicit Token() = default;
    };

  public:
    // Nothing when `data` is not a keyed archive within the limits.
    [[nodiscard]] static std::unique_ptr<KeyedUnarchiver> open(const Bytes& data);

    // Use open().
    KeyedUnarchiver(Token token, PlistPtr root);
    ~KeyedUnarchiver();
    KeyedUnarchiver(const KeyedUnarchiver&) = delete;
    KeyedUnarchiver& operator=(const KeyedUnarchiver&) = delete;

    // decodeObjectForKey: in the current object ("$top" at first).
    [[nodiscard]] ArchivedObject decodeObject(std::string_view key);
    // decodeObject(of:forKey:): only an object of class Object, else null.
    template <class Object>
    [[nodiscard]] std::shared_ptr<Object> decodeObjectOfClass(std::string_view key) {
        return decodeObject(key).object<Object>();
    }
    // decodeBoolForKey:: an inline boolean; false when missing or not one.
    [[nodiscard]] bool decodeBool(std::string_view key);
    // Whether the current object has the key at all.
    [[nodiscard]] bool containsValue(std::string_view key) const;

  private:
    friend class ArchivedObject;
    using Factory = std::function<std::shared_ptr<void>(KeyedUnarchiver&)>;

    [[nodiscard]] PlistNode entry(std::uint64_t uid) const;
    [[nodiscard]] std::optional<std::uint64_t> reference(PlistNode node) const;
    [[nodiscard]] std::optional<std::string> classNameOf(PlistNode entry) const;
    [[nodiscard]] bool spend(std::size_t steps);
    [[nodiscard]] bool spendBytes(std::size_t bytes);
    [[nodiscard]] std::shared_ptr<void> materialize(std::uint64_t uid, std::string_view className,
                                                    const Factory& make);

    PlistPtr root_;
    std::vector<PlistNode> objects_;  // "$objects" entries, by UID
    std::vector<PlistNode> current_;  // objects being decoded, innermost last
    std::map<std::uint64_t, std::shared_ptr<void>> built_;
    std::set<std::uint64_t> building_;
    std::size_t steps_ = 0;
    std::size_t bytes_ = 0;
};

template <class Object, class Make>
std::shared_ptr<Object> ArchivedObject::object(Make&& make) const {
    if (coder_ == nullptr) {
        return nullptr;
    }
    const KeyedUnarchiver::Factory factory = [&make](KeyedUnarchiver& coder) {
        return std::shared_ptr<void>(make(coder));
    };
    return std::static_pointer_cast<Object>(coder_->materialize(uid_, Object::kClassName, factory));
}

}  // namespace lockstep
