#include "commands/action_node.h"

#include <utility>
#include <vector>

namespace Qor {

namespace {
constexpr siActionNodeEx_s empty_record{sizeof(siActionNodeEx_s), e_command_set, nullptr, nullptr, nullptr, nullptr, nullptr};

const char* TextOrNull(const std::string& text) noexcept { return text.empty() ? nullptr : text.c_str(); }
}  // namespace

CActionNode::CActionNode() noexcept : siActionNodeEx_s(empty_record) {}

CActionNode::CActionNode(std::string idText, std::string labelText, siActionNodeType_e nodeType) noexcept
    : CActionNode(std::move(idText), std::move(labelText), std::string(), nodeType) {}

CActionNode::CActionNode(std::string idText, std::string labelText, std::string descriptionText, siActionNodeType_e nodeType) noexcept
    : siActionNodeEx_s(empty_record), m_id(std::move(idText)), m_label(std::move(labelText)), m_description(std::move(descriptionText)) {
    type = nodeType;
    PointTexts();
}

CActionNode::CActionNode(CActionNode&& other) noexcept : siActionNodeEx_s(empty_record) { TakeFrom(other); }

CActionNode& CActionNode::operator=(CActionNode&& other) noexcept {
    if (this == &other) return *this;
    // The old links are destroyed only after the take-over, so that a node
    // moved out of this node's own subtree is not destroyed before it is read.
    siActionNodeEx_s* oldNext = std::exchange(next, nullptr);
    siActionNodeEx_s* oldChildren = std::exchange(children, nullptr);
    TakeFrom(other);
    DeleteNodes(oldNext, oldChildren);
    return *this;
}

CActionNode::~CActionNode() { DeleteLinkedNodes(); }

void CActionNode::PutChild(std::unique_ptr<CActionNode> node) noexcept {
    delete NodeOf(std::exchange(children, nullptr));
    children = node ? RecordOf(node.release()) : nullptr;
}

void CActionNode::PutNext(std::unique_ptr<CActionNode> node) noexcept {
    delete NodeOf(std::exchange(next, nullptr));
    next = node ? RecordOf(node.release()) : nullptr;
}

void CActionNode::PointTexts() noexcept {
    // Never keep a copied pointer: moving a short string moves its characters.
    id = TextOrNull(m_id);
    label = TextOrNull(m_label);
    description = TextOrNull(m_description);
}

// Expects this node's links to be null; other ends up naming and linking nothing.
void CActionNode::TakeFrom(CActionNode& other) noexcept {
    static_cast<siActionNodeEx_s&>(*this) = static_cast<const siActionNodeEx_s&>(other);
    m_id = std::move(other.m_id);
    m_label = std::move(other.m_label);
    m_description = std::move(other.m_description);
    other.m_id.clear();
    other.m_label.clear();
    other.m_description.clear();
    static_cast<siActionNodeEx_s&>(other) = empty_record;
    PointTexts();
}

void CActionNode::DeleteLinkedNodes() noexcept { DeleteNodes(std::exchange(next, nullptr), std::exchange(children, nullptr)); }

// Trees may be far deeper and sibling chains far longer than the stack allows
// for recursion, so the nodes are unlinked into a flat list first; each is then
// destroyed with no links left and its own destructor does not descend.
void CActionNode::DeleteNodes(siActionNodeEx_s* nextRecord, siActionNodeEx_s* childRecord) noexcept {
    if (nextRecord == nullptr && childRecord == nullptr) return;
    std::vector<CActionNode*> nodes;
    auto take = [&nodes](siActionNodeEx_s*& link) {
        if (link != nullptr) nodes.push_back(NodeOf(std::exchange(link, nullptr)));
    };
    take(nextRecord);
    take(childRecord);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        CActionNode* node = nodes[i];
        take(node->next);
        take(node->children);
    }
    for (auto node = nodes.rbegin(); node != nodes.rend(); ++node) delete *node;
}

CCommandTree::CCommandTree(std::string idText, std::string labelText, siActionNodeType_e nodeType) noexcept
    : CActionNode(std::move(idText), std::move(labelText), nodeType) {}

CCommandTree::CCommandTree(std::string idText, std::string labelText, std::string descriptionText, siActionNodeType_e nodeType) noexcept
    : CActionNode(std::move(idText), std::move(labelText), std::move(descriptionText), nodeType) {}

void CCommandTree::push_back(std::unique_ptr<CActionNode> node) noexcept {
    CActionNode* last = GetChild();
    if (last == nullptr) {
        PutChild(std::move(node));
        return;
    }
    while (CActionNode* following = last->GetNext()) last = following;
    last->PutNext(std::move(node));
}

void CCommandTree::push_back(CActionNode&& node) { push_back(std::make_unique<CActionNode>(std::move(node))); }

namespace Kinemo {

CCategory::CCategory(std::string idText, std::string labelText) noexcept : CCommandTree(std::move(idText), std::move(labelText), e_category) {}

CCommand::CCommand(std::string idText, std::string labelText, std::string descriptionText) noexcept
    : CCommandTree(std::move(idText), std::move(labelText), std::move(descriptionText), e_command) {}

CCommandSet::CCommandSet(std::string idText, std::string labelText) noexcept
    : CCommandTree(std::move(idText), std::move(labelText), e_command_set) {}

}  // namespace Kinemo
}  // namespace Qor
