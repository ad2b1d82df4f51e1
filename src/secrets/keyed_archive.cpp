#include "secrets/keyed_archive.h"

#include <plist/plist.h>

#include <string>

#include "platform/plist_limits.h"
#include "platform/text.h"

namespace lockstep {

namespace {

constexpr char kArchiverKey[] = "$archiver";
constexpr char kArchiverName[] = "NSKeyedArchiver";
constexpr char kVersionKey[] = "$version";
constexpr std::uint64_t kArchiveVersion = 100000;
constexpr char kTopKey[] = "$top";
constexpr char kObjectsKey[] = "$objects";
constexpr char kNullEntry[] = "$null";
constexpr char kClassKey[] = "$class";
constexpr char kClassNameKey[] = "$classname";
constexpr char kClassesKey[] = "$classes";
constexpr char kRootKey[] = "root";
constexpr char kXMLUIDKey[] = "CF$UID";
constexpr char kDictionaryKeysKey[] = "NS.keys";
constexpr char kDictionaryObjectsKey[] = "NS.objects";
constexpr char kStringKey[] = "NS.string";
constexpr char kDataKey[] = "NS.data";
constexpr std::string_view kDictionaryClass = "NSDictionary";
constexpr std::string_view kMutableDictionaryClass = "NSMutableDictionary";
constexpr std::string_view kStringClass = "NSString";
constexpr std::string_view kMutableStringClass = "NSMutableString";
constexpr std::string_view kDataClass = "NSData";
constexpr std::string_view kMutableDataClass = "NSMutableData";
constexpr char kBaseClass[] = "NSObject";

plist_t node(PlistNode n) {
    return static_cast<plist_t>(n);
}

bool isType(PlistNode n, plist_type type) {
    return n != nullptr && plist_get_node_type(node(n)) == type;
}

// libplist keys are C strings; every key this archive uses is a literal
// without NUL bytes, but keys handed in by callers are copied to be safe.
std::string keyText(std::string_view key) {
    return std::string(key);
}

plist_t lookup(PlistNode dictionary, std::string_view key) {
    if (!isType(dictionary, PLIST_DICT)) {
        return nullptr;
    }
    return plist_dict_get_item(node(dictionary), keyText(key).c_str());
}

std::vector<PlistNode> arrayItems(PlistNode array) {
    std::vector<PlistNode> items;
    if (!isType(array, PLIST_ARRAY)) {
        return items;
    }
    const std::uint32_t size = plist_array_get_size(node(array));
    items.reserve(size);
    for (std::uint32_t i = 0; i < size; ++i) {
        items.push_back(plist_array_get_item(node(array), i));
    }
    return items;
}

std::string stringValue(PlistNode n) {
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node(n), &length);
    return text == nullptr ? std::string() : std::string(text, static_cast<std::size_t>(length));
}

}  // namespace

// ---------------------------------------------------------------------------
// KeyedArchiver

KeyedArchiver::KeyedArchiver() : objects_(plist_new_array()), top_(plist_new_dict()) {
    append(plist_new_string(kNullEntry));
    current_.push_back(top_.get());
}

KeyedArchiver::~KeyedArchiver() = default;

std::uint64_t KeyedArchiver::append(PlistNode entry) {
    plist_array_append_item(node(objects_.get()), node(entry));
    objectNodes_.push_back(entry);
    return objectNodes_.size() - 1;
}

std::uint64_t KeyedArchiver::addText(std::string_view text) {
    // A text object is UTF-8; libplist's binary writer garbles anything else
    // while converting it, so bytes that are not UTF-8 become U+FFFD here,
    // the same in both formats. libplist takes C strings: a text is cut at
    // its first NUL byte.
    if (isValidUtf8(text)) {
        return append(plist_new_string(std::string(text).c_str()));
    }
    return append(plist_new_string(toValidUtf8(text).c_str()));
}

std::uint64_t KeyedArchiver::addData(const Bytes& data) {
    return append(plist_new_data(reinterpret_cast<const char*>(data.data()), data.size()));
}

std::uint64_t KeyedArchiver::classReference(std::string_view className) {
    if (const auto found = classes_.find(className); found != classes_.end()) {
        return found->second;
    }
    const std::string name(className);
    plist_t entry = plist_new_dict();
    plist_t chain = plist_new_array();
    plist_array_append_item(chain, plist_new_string(name.c_str()));
    plist_array_append_item(chain, plist_new_string(kBaseClass));
    plist_dict_set_item(entry, kClassesKey, chain);
    plist_dict_set_item(entry, kClassNameKey, plist_new_string(name.c_str()));
    const std::uint64_t uid = append(entry);
    classes_.emplace(name, uid);
    return uid;
}

std::uint64_t KeyedArchiver::addObject(const KeyedEncodable& object) {
    if (const auto found = written_.find(&object); found != written_.end()) {
        return found->second;
    }
    plist_t entry = plist_new_dict();
    const std::uint64_t uid = append(entry);
    written_.emplace(&object, uid);
    plist_dict_set_item(entry, kClassKey, plist_new_uid(classReference(object.archiveClassName())));
    current_.push_back(entry);
    // Restore the enclosing object even if encode() throws.
    struct Pop {
        std::vector<PlistNode>& stack;
        ~Pop() { stack.pop_back(); }
    } pop{current_};
    object.encode(*this);
    return uid;
}

std::uint64_t KeyedArchiver::beginDictionary() {
    return append(plist_new_dict());
}

void KeyedArchiver::finishDictionary(std::uint64_t uid, const std::vector<std::uint64_t>& keys,
                                     const std::vector<std::uint64_t>& objects) {
    plist_t entry = node(objectNodes_.at(uid));
    plist_t keyArray = plist_new_array();
    for (const std::uint64_t key : keys) {
        plist_array_append_item(keyArray, plist_new_uid(key));
    }
    plist_t objectArray = plist_new_array();
    for (const std::uint64_t object : objects) {
        plist_array_append_item(objectArray, plist_new_uid(object));
    }
    plist_dict_set_item(entry, kDictionaryKeysKey, keyArray);
    plist_dict_set_item(entry, kDictionaryObjectsKey, objectArray);
    plist_dict_set_item(entry, kClassKey, plist_new_uid(classReference(kDictionaryClass)));
}

void KeyedArchiver::setReference(std::string_view key, std::uint64_t uid) {
    plist_dict_set_item(node(current()), keyText(key).c_str(), plist_new_uid(uid));
}

void KeyedArchiver::encodeObject(std::string_view text, std::string_view key) {
    setReference(key, addText(text));
}

void KeyedArchiver::encodeObject(const Bytes& data, std::string_view key) {
    setReference(key, addData(data));
}

void KeyedArchiver::encodeObject(std::int64_t number, std::string_view key) {
    // libplist 2.2 keeps every integer as 64 unsigned bits and writes values
    // with the top bit set as signed 64-bit integers (binary) or with a minus
    // sign (XML), so the two's complement carries negative numbers faithfully.
    setReference(key, append(plist_new_uint(static_cast<std::uint64_t>(number))));
}

void KeyedArchiver::encodeObject(const KeyedEncodable* object, std::string_view key) {
    if (object == nullptr) {
        return;
    }
    setReference(key, addObject(*object));
}

void KeyedArchiver::encodeBool(bool value, std::string_view key) {
    plist_dict_set_item(node(current()), keyText(key).c_str(), plist_new_bool(value ? 1 : 0));
}

std::optional<Bytes> KeyedArchiver::encodedData(PlistFormat format) const {
    const PlistPtr root(plist_new_dict());
    plist_dict_set_item(node(root.get()), kArchiverKey, plist_new_string(kArchiverName));
    plist_dict_set_item(node(root.get()), kObjectsKey, plist_copy(node(objects_.get())));
    plist_dict_set_item(node(root.get()), kTopKey, plist_copy(node(top_.get())));
    plist_dict_set_item(node(root.get()), kVersionKey, plist_new_uint(kArchiveVersion));
    return serializePlist(root.get(), format);
}

std::optional<Bytes> KeyedArchiver::archivedData(const KeyedEncodable& root, PlistFormat format) {
    KeyedArchiver archiver;
    archiver.encodeObject(&root, kRootKey);
    return archiver.encodedData(format);
}

// ---------------------------------------------------------------------------
// KeyedUnarchiver

std::unique_ptr<KeyedUnarchiver> KeyedUnarchiver::open(const Bytes& data) {
    const PlistLimits limits{kMaxKeyedArchiveBytes, kMaxKeyedArchiveNesting, kMaxKeyedArchiveNodes,
                             kMaxKeyedArchivePayload};
    if (!plistWithinLimits(data, limits)) {
        return nullptr;
    }
    std::optional<ParsedPlist> parsed = parsePlist(data);
    if (!parsed.has_value()) {
        return nullptr;
    }
    const PlistNode root = parsed->root.get();
    const plist_t archiver = lookup(root, kArchiverKey);
    if (!isType(archiver, PLIST_STRING) || stringValue(archiver) != kArchiverName ||
        !isType(lookup(root, kObjectsKey), PLIST_ARRAY) ||
        !isType(lookup(root, kTopKey), PLIST_DICT)) {
        return nullptr;
    }
    return std::make_unique<KeyedUnarchiver>(Token{}, std::move(parsed->root));
}

KeyedUnarchiver::KeyedUnarchiver(Token /*token*/, PlistPtr root) : root_(std::move(root)) {
    objects_ = arrayItems(lookup(root_.get(), kObjectsKey));
    current_.push_back(lookup(root_.get(), kTopKey));
}

KeyedUnarchiver::~KeyedUnarchiver() = default;

bool KeyedUnarchiver::spend(std::size_t steps) {
    if (steps > kMaxDecodeSteps - steps_) {
        steps_ = kMaxDecodeSteps;
        return false;
    }
    steps_ += steps;
    return true;
}

bool KeyedUnarchiver::spendBytes(std::size_t bytes) {
    if (bytes > kMaxDecodedBytes - bytes_) {
        return false;
    }
    bytes_ += bytes;
    return true;
}

PlistNode KeyedUnarchiver::entry(std::uint64_t uid) const {
    return uid == 0 || uid >= objects_.size() ? nullptr : objects_[uid];
}

std::optional<std::uint64_t> KeyedUnarchiver::reference(PlistNode n) const {
    std::uint64_t uid = 0;
    if (isType(n, PLIST_UID)) {
        plist_get_uid_val(node(n), &uid);
        return uid;
    }
    // XML property lists spell a UID as a dictionary with the single key
    // "CF$UID"; libplist 2.2 reads it back as such a dictionary.
    if (isType(n, PLIST_DICT) && plist_dict_get_size(node(n)) == 1) {
        const plist_t value = plist_dict_get_item(node(n), kXMLUIDKey);
        if (isType(value, PLIST_UINT)) {
            plist_get_uint_val(value, &uid);
            return uid;
        }
    }
    return std::nullopt;
}

std::optional<std::string> KeyedUnarchiver::classNameOf(PlistNode object) const {
    const plist_t classRef = lookup(object, kClassKey);
    if (classRef == nullptr) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> uid = reference(classRef);
    if (!uid.has_value()) {
        return std::nullopt;
    }
    const plist_t name = lookup(entry(*uid), kClassNameKey);
    if (!isType(name, PLIST_STRING)) {
        return std::nullopt;
    }
    return stringValue(name);
}

bool KeyedUnarchiver::containsValue(std::string_view key) const {
    return lookup(current_.back(), key) != nullptr;
}

ArchivedObject KeyedUnarchiver::decodeObject(std::string_view key) {
    if (!spend(1)) {
        return {};
    }
    const std::optional<std::uint64_t> uid = reference(lookup(current_.back(), key));
    if (!uid.has_value() || entry(*uid) == nullptr) {
        return {};
    }
    return {this, *uid};
}

bool KeyedUnarchiver::decodeBool(std::string_view key) {
    if (!spend(1)) {
        return false;
    }
    const plist_t value = lookup(current_.back(), key);
    if (!isType(value, PLIST_BOOLEAN)) {
        return false;
    }
    std::uint8_t flag = 0;
    plist_get_bool_val(value, &flag);
    return flag != 0;
}

std::shared_ptr<void> KeyedUnarchiver::materialize(std::uint64_t uid, std::string_view className,
                                                   const Factory& make) {
    if (!spend(1)) {
        return nullptr;
    }
    const PlistNode object = entry(uid);
    if (object == nullptr || classNameOf(object) != className) {
        return nullptr;
    }
    if (const auto found = built_.find(uid); found != built_.end()) {
        return found->second;
    }
    // The first entry of current_ is "$top", not an object.
    if (building_.count(uid) != 0 || current_.size() > kMaxDecodeDepth) {
        return nullptr;
    }
    building_.insert(uid);
    current_.push_back(object);
    struct Restore {
        KeyedUnarchiver& coder;
        std::uint64_t uid;
        ~Restore() {
            coder.current_.pop_back();
            coder.building_.erase(uid);
        }
    } restore{*this, uid};
    std::shared_ptr<void> built = make(*this);
    built_.emplace(uid, built);
    return built;
}

// ---------------------------------------------------------------------------
// ArchivedObject

bool ArchivedObject::isNil() const {
    return coder_ == nullptr || coder_->entry(uid_) == nullptr;
}

std::optional<std::string> ArchivedObject::string() const {
    if (isNil() || !coder_->spend(1)) {
        return std::nullopt;
    }
    plist_t value = node(coder_->entry(uid_));
    if (isType(value, PLIST_DICT)) {
        const std::optional<std::string> name = coder_->classNameOf(value);
        if (name != kStringClass && name != kMutableStringClass) {
            return std::nullopt;
        }
        value = lookup(value, kStringKey);
    }
    if (!isType(value, PLIST_STRING)) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(value, &length);
    if (text == nullptr || !coder_->spendBytes(static_cast<std::size_t>(length))) {
        return std::nullopt;
    }
    return std::string(text, static_cast<std::size_t>(length));
}

std::optional<Bytes> ArchivedObject::data() const {
    if (isNil() || !coder_->spend(1)) {
        return std::nullopt;
    }
    plist_t value = node(coder_->entry(uid_));
    if (isType(value, PLIST_DICT)) {
        const std::optional<std::string> name = coder_->classNameOf(value);
        if (name != kDataClass && name != kMutableDataClass) {
            return std::nullopt;
        }
        value = lookup(value, kDataKey);
    }
    if (!isType(value, PLIST_DATA)) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* bytes = plist_get_data_ptr(value, &length);
    if (!coder_->spendBytes(static_cast<std::size_t>(length))) {
        return std::nullopt;
    }
    const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
    return bytes == nullptr ? Bytes() : Bytes(begin, begin + length);
}

std::optional<std::int64_t> ArchivedObject::integer() const {
    if (isNil() || !coder_->spend(1)) {
        return std::nullopt;
    }
    const plist_t value = node(coder_->entry(uid_));
    if (!isType(value, PLIST_UINT)) {
        return std::nullopt;
    }
    std::uint64_t bits = 0;
    plist_get_uint_val(value, &bits);
    return static_cast<std::int64_t>(bits);
}

std::optional<std::string> ArchivedObject::className() const {
    if (isNil() || !coder_->spend(1)) {
        return std::nullopt;
    }
    return coder_->classNameOf(coder_->entry(uid_));
}

std::optional<std::vector<std::pair<ArchivedObject, ArchivedObject>>> ArchivedObject::dictionary()
    const {
    if (isNil() || !coder_->spend(1)) {
        return std::nullopt;
    }
    const PlistNode value = coder_->entry(uid_);
    const std::optional<std::string> name = coder_->classNameOf(value);
    if (name != kDictionaryClass && name != kMutableDictionaryClass) {
        return std::nullopt;
    }
    const std::vector<PlistNode> keys = arrayItems(lookup(value, kDictionaryKeysKey));
    const std::vector<PlistNode> objects = arrayItems(lookup(value, kDictionaryObjectsKey));
    if (!isType(lookup(value, kDictionaryKeysKey), PLIST_ARRAY) ||
        !isType(lookup(value, kDictionaryObjectsKey), PLIST_ARRAY) ||
        keys.size() != objects.size() || !coder_->spend(keys.size())) {
        return std::nullopt;
    }
    std::vector<std::pair<ArchivedObject, ArchivedObject>> entries;
    entries.reserve(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::optional<std::uint64_t> key = coder_->reference(keys[i]);
        const std::optional<std::uint64_t> object = coder_->reference(objects[i]);
        if (!key.has_value() || !object.has_value()) {
            return std::nullopt;
        }
        entries.emplace_back(ArchivedObject(coder_, *key), ArchivedObject(coder_, *object));
    }
    return entries;
}

}  // namespace lockstep
