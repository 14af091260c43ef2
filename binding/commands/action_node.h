// The command tree handed to the navigation library: the plain node record the
// library reads, and the node classes that embed one record each and own the
// texts and the nodes it points to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

enum siActionNodeType_e : int32_t {
    e_command_set = 0,
    e_category = 1,
    e_command = 2,
};

// First-child, next-sibling node record, shared byte for byte with the library.
struct siActionNodeEx_s {
    uint32_t size;
    siActionNodeType_e type;
    siActionNodeEx_s* next;
    siActionNodeEx_s* children;
    const char* id;
    const char* label;
    const char* description;
};

static_assert(sizeof(siActionNodeEx_s) == 48 && alignof(siActionNodeEx_s) == 8);
static_assert(offsetof(siActionNodeEx_s, type) == 4 && offsetof(siActionNodeEx_s, next) == 8 &&
              offsetof(siActionNodeEx_s, children) == 16 && offsetof(siActionNodeEx_s, id) == 24 &&
              offsetof(siActionNodeEx_s, label) == 32 && offsetof(siActionNodeEx_s, description) == 40);

namespace Qor {

// A node owns the nodes its record links to (its first child and its next
// sibling), so destroying a node destroys its subtree and the siblings after it.
// The record is a private base so that a linked record leads back to its node.
class CActionNode : private siActionNodeEx_s {
public:
    CActionNode() noexcept;
    CActionNode(std::string id, std::string label, siActionNodeType_e type) noexcept;
    CActionNode(std::string id, std::string label, std::string description, siActionNodeType_e type) noexcept;
    CActionNode(CActionNode&& other) noexcept;
    CActionNode& operator=(CActionNode&& other) noexcept;
    CActionNode(const CActionNode&) = delete;
    CActionNode& operator=(const CActionNode&) = delete;
    virtual ~CActionNode();

    // The embedded record, to hand the tree to the library.
    const siActionNodeEx_s* GetSiActionNode() const noexcept { return this; }

    CActionNode* GetChild() noexcept { return NodeOf(children); }
    const CActionNode* GetChild() const noexcept { return NodeOf(children); }
    CActionNode* GetNext() noexcept { return NodeOf(next); }
    const CActionNode* GetNext() const noexcept { return NodeOf(next); }

    // Replace the first child (or the next sibling); the old one is destroyed
    // together with everything it owns. An empty pointer unlinks.
    void PutChild(std::unique_ptr<CActionNode> node) noexcept;
    void PutNext(std::unique_ptr<CActionNode> node) noexcept;

private:
    static CActionNode* NodeOf(siActionNodeEx_s* record) noexcept { return static_cast<CActionNode*>(record); }
    static siActionNodeEx_s* RecordOf(CActionNode* node) noexcept { return node; }

    void PointTexts() noexcept;
    void TakeFrom(CActionNode& other) noexcept;
    void DeleteLinkedNodes() noexcept;
    static void DeleteNodes(siActionNodeEx_s* nextRecord, siActionNodeEx_s* childRecord) noexcept;

    std::string m_id;
    std::string m_label;
    std::string m_description;
};

// A node that can append children.
class CCommandTree : public CActionNode {
public:
    CCommandTree() noexcept = default;
    CCommandTree(std::string id, std::string label, siActionNodeType_e type) noexcept;
    CCommandTree(std::string id, std::string label, std::string description, siActionNodeType_e type) noexcept;
    CCommandTree(CCommandTree&&) noexcept = default;
    CCommandTree& operator=(CCommandTree&&) noexcept = default;
    ~CCommandTree() override = default;

    // Appends node as the last child, keeping its class.
    void push_back(std::unique_ptr<CActionNode> node) noexcept;
    // Appends a plain CActionNode moved from node, which is left empty.
    void push_back(CActionNode&& node);
};

namespace Kinemo {

class CCategory : public CCommandTree {
public:
    CCategory(std::string id, std::string label) noexcept;
    CCategory(CCategory&&) noexcept = default;
    CCategory& operator=(CCategory&&) noexcept = default;
    ~CCategory() override = default;
};

class CCommand : public CCommandTree {
public:
    CCommand(std::string id, std::string label, std::string description) noexcept;
    CCommand(CCommand&&) noexcept = default;
    CCommand& operator=(CCommand&&) noexcept = default;
    ~CCommand() override = default;
};

class CCommandSet : public CCommandTree {
public:
    CCommandSet() noexcept = default;
    CCommandSet(std::string id, std::string label) noexcept;
    CCommandSet(CCommandSet&&) noexcept = default;
    CCommandSet& operator=(CCommandSet&&) noexcept = default;
    ~CCommandSet() override = default;
};

}  // namespace Kinemo
}  // namespace Qor
