#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/directory/directory.h"

namespace lockstep {

// The connection, node and query objects that a DirectoryService hands out.
// Each remembers the service that made it (`owner`), so a service can refuse
// objects that another service made. Test doubles may make their own.

class ODSession {
  public:
    explicit ODSession(const void* owner) : owner_(owner) {}
    [[nodiscard]] const void* owner() const { return owner_; }

  private:
    const void* owner_;
};

class ODNode {
  public:
    ODNode(ODSessionRef session, ODNodeType type) : session_(std::move(session)), type_(type) {}
    [[nodiscard]] const ODSessionRef& session() const { return session_; }
    [[nodiscard]] ODNodeType type() const { return type_; }
    [[nodiscard]] const void* owner() const { return session_ ? session_->owner() : nullptr; }

  private:
    ODSessionRef session_;
    ODNodeType type_;
};

// A query as it was built; it runs when its results are asked for.
class ODQuery {
  public:
    struct Parameters {
        std::string recordType;
        std::string attribute;
        ODMatchType matchType = kODMatchEqualTo;
        std::vector<std::string> queryValues;
        std::string returnAttributes;
        std::int64_t maximumResults = 0;
    };

    ODQuery(ODNodeRef node, Parameters parameters)
        : node_(std::move(node)), parameters_(std::move(parameters)) {}
    [[nodiscard]] const ODNodeRef& node() const { return node_; }
    [[nodiscard]] const Parameters& parameters() const { return parameters_; }

  private:
    ODNodeRef node_;
    Parameters parameters_;
};

}  // namespace lockstep
