#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <typeinfo>
#include <vector>

#include "commands/action_node.h"
#include "tests/native/commands/small_stack.h"

using Qor::CActionNode;
using Qor::CCommandTree;
using Qor::Kinemo::CCategory;
using Qor::Kinemo::CCommand;
using Qor::Kinemo::CCommandSet;

namespace {

const siActionNodeEx_s* Record(const CActionNode& node) { return node.GetSiActionNode(); }
const siActionNodeEx_s* Record(const CActionNode* node) { return node != nullptr ? node->GetSiActionNode() : nullptr; }

// Whether the implementation keeps this text inside the string object itself.
bool KeptInline(const std::string& text) { return text.size() <= std::string().capacity(); }

bool LiesInside(const void* text, const CActionNode& node) {
    const auto begin = reinterpret_cast<std::uintptr_t>(&node);
    const auto at = reinterpret_cast<std::uintptr_t>(text);
    return at >= begin && at < begin + sizeof(CActionNode);
}

// An empty expected text means a null pointer; a short one must live in the
// node's own string, never in some other node.
void ExpectOwnText(const char* actual, const std::string& expected, const CActionNode& owner, const char* field) {
    SCOPED_TRACE(field);
    if (expected.empty()) {
        EXPECT_EQ(actual, nullptr);
        return;
    }
    ASSERT_NE(actual, nullptr);
    EXPECT_EQ(std::string(actual), expected);
    if (KeptInline(expected)) {
        EXPECT_TRUE(LiesInside(actual, owner));
    }
}

void ExpectOwnTexts(const CActionNode& node, const std::string& id, const std::string& label, const std::string& description) {
    ExpectOwnText(Record(node)->id, id, node, "id");
    ExpectOwnText(Record(node)->label, label, node, "label");
    ExpectOwnText(Record(node)->description, description, node, "description");
}

void ExpectEmptyRecord(const CActionNode& node) {
    const siActionNodeEx_s* record = Record(node);
    EXPECT_EQ(record->size, 48u);
    EXPECT_EQ(record->type, e_command_set);
    EXPECT_EQ(record->next, nullptr);
    EXPECT_EQ(record->children, nullptr);
    EXPECT_EQ(record->id, nullptr);
    EXPECT_EQ(record->label, nullptr);
    EXPECT_EQ(record->description, nullptr);
    EXPECT_EQ(node.GetChild(), nullptr);
    EXPECT_EQ(node.GetNext(), nullptr);
}

std::vector<std::string> ChildIds(const CActionNode& parent) {
    std::vector<std::string> ids;
    for (const CActionNode* child = parent.GetChild(); child != nullptr; child = child->GetNext())
        ids.emplace_back(Record(child)->id != nullptr ? Record(child)->id : "");
    return ids;
}

// Counts the destructions of each node in a slot of its own, so that a node
// destroyed twice is told apart from one never destroyed.
class CountedNode : public CActionNode {
public:
    CountedNode(std::vector<int>& tally, std::size_t slot, siActionNodeType_e type = e_command)
        : CActionNode("n" + std::to_string(slot), "", type), m_tally(tally), m_slot(slot) {}
    ~CountedNode() override { ++m_tally[m_slot]; }

private:
    std::vector<int>& m_tally;
    std::size_t m_slot;
};

std::unique_ptr<CActionNode> Counted(std::vector<int>& tally, std::size_t slot, siActionNodeType_e type = e_command) {
    return std::make_unique<CountedNode>(tally, slot, type);
}

std::size_t SlotsDestroyedOtherThanOnce(const std::vector<int>& tally, std::size_t begin, std::size_t end) {
    std::size_t wrong = 0;
    for (std::size_t slot = begin; slot < end; ++slot) wrong += tally[slot] != 1;
    return wrong;
}

// ---- construction ------------------------------------------------------------

struct ConstructionCase {
    const char* name;
    std::function<std::unique_ptr<CActionNode>()> make;
    const std::type_info& kind;
    siActionNodeType_e type;
    std::string id, label, description;
};

void PrintTo(const ConstructionCase& c, std::ostream* os) { *os << c.name; }

class Construction : public testing::TestWithParam<ConstructionCase> {};

TEST_P(Construction, SetsRecordFromArguments) {
    const ConstructionCase& c = GetParam();
    const std::unique_ptr<CActionNode> node = c.make();
    const siActionNodeEx_s* record = Record(*node);
    EXPECT_EQ(typeid(*node), c.kind);
    EXPECT_EQ(record->size, sizeof(siActionNodeEx_s));
    EXPECT_EQ(record->type, c.type);
    EXPECT_EQ(record->next, nullptr);
    EXPECT_EQ(record->children, nullptr);
    ExpectOwnTexts(*node, c.id, c.label, c.description);
}

const std::string long_text(100, 'x');

INSTANTIATE_TEST_SUITE_P(
    Nodes, Construction,
    testing::Values(
        ConstructionCase{"DefaultActionNode", [] { return std::make_unique<CActionNode>(); }, typeid(CActionNode), e_command_set, "", "", ""},
        ConstructionCase{"ActionNodeWithoutDescription", [] { return std::make_unique<CActionNode>("i", "l", e_command); },
                         typeid(CActionNode), e_command, "i", "l", ""},
        ConstructionCase{"ActionNodeWithDescription", [] { return std::make_unique<CActionNode>("i", "l", "d", e_category); },
                         typeid(CActionNode), e_category, "i", "l", "d"},
        ConstructionCase{"DefaultCommandTree", [] { return std::make_unique<CCommandTree>(); }, typeid(CCommandTree), e_command_set, "", "", ""},
        ConstructionCase{"CommandTreeWithoutDescription", [] { return std::make_unique<CCommandTree>("t", "Tree", e_category); },
                         typeid(CCommandTree), e_category, "t", "Tree", ""},
        ConstructionCase{"CommandTreeWithDescription", [] { return std::make_unique<CCommandTree>("t", "Tree", "About", e_command); },
                         typeid(CCommandTree), e_command, "t", "Tree", "About"},
        ConstructionCase{"Category", [] { return std::make_unique<CCategory>("cat", "Category"); }, typeid(CCategory), e_category, "cat",
                         "Category", ""},
        ConstructionCase{"CommandWithIdOnly", [] { return std::make_unique<CCommand>("cmd", "", ""); }, typeid(CCommand), e_command, "cmd",
                         "", ""},
        ConstructionCase{"Command", [] { return std::make_unique<CCommand>("cmd", "Command", "Does it"); }, typeid(CCommand), e_command,
                         "cmd", "Command", "Does it"},
        ConstructionCase{"CommandWithLongTexts", [] { return std::make_unique<CCommand>(long_text, long_text, long_text); },
                         typeid(CCommand), e_command, long_text, long_text, long_text},
        ConstructionCase{"CommandSet", [] { return std::make_unique<CCommandSet>("set", "Set"); }, typeid(CCommandSet), e_command_set,
                         "set", "Set", ""},
        ConstructionCase{"EmptyCommandSet", [] { return std::make_unique<CCommandSet>(); }, typeid(CCommandSet), e_command_set, "", "",
                         ""}),
    [](const testing::TestParamInfo<ConstructionCase>& info) { return std::string(info.param.name); });

// ---- moves -------------------------------------------------------------------

struct TextCase {
    const char* name;
    std::string id, label, description;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class Move : public testing::TestWithParam<TextCase> {};

TEST_P(Move, ConstructionTakesLinksAndRepointsTexts) {
    const TextCase& c = GetParam();
    auto source = std::make_unique<CCommandTree>(c.id, c.label, c.description, e_category);
    source->push_back(CCommand("a", "A", ""));
    source->push_back(CCommand("b", "B", ""));
    source->PutNext(std::make_unique<CCommand>("sibling", "", ""));
    const siActionNodeEx_s* children = Record(*source)->children;
    const siActionNodeEx_s* next = Record(*source)->next;

    CActionNode target(std::move(*source));

    EXPECT_EQ(Record(target)->size, 48u);
    EXPECT_EQ(Record(target)->type, e_category);
    EXPECT_EQ(Record(target)->children, children);
    EXPECT_EQ(Record(target)->next, next);
    EXPECT_EQ(ChildIds(target), (std::vector<std::string>{"a", "b"}));
    ExpectOwnTexts(target, c.id, c.label, c.description);
    ExpectEmptyRecord(*source);

    // A text still pointing into the source would now dangle.
    source.reset();
    ExpectOwnTexts(target, c.id, c.label, c.description);
}

TEST_P(Move, AssignmentReplacesTreeAndRepointsTexts) {
    const TextCase& c = GetParam();
    std::vector<int> tally(3, 0);
    CCommandTree target("old", "Old", e_command_set);
    target.push_back(Counted(tally, 0));
    target.push_back(Counted(tally, 1));
    target.PutNext(Counted(tally, 2));

    auto source = std::make_unique<CCommandTree>(c.id, c.label, c.description, e_command);
    source->push_back(CCommand("a", "A", ""));
    const siActionNodeEx_s* children = Record(*source)->children;

    target = std::move(*source);

    EXPECT_EQ(SlotsDestroyedOtherThanOnce(tally, 0, tally.size()), 0u);
    EXPECT_EQ(Record(target)->size, 48u);
    EXPECT_EQ(Record(target)->type, e_command);
    EXPECT_EQ(Record(target)->children, children);
    EXPECT_EQ(Record(target)->next, nullptr);
    ExpectOwnTexts(target, c.id, c.label, c.description);
    ExpectEmptyRecord(*source);

    source.reset();
    ExpectOwnTexts(target, c.id, c.label, c.description);
}

INSTANTIATE_TEST_SUITE_P(Texts, Move,
                         testing::Values(TextCase{"Short", "id", "Label", "Text"}, TextCase{"ShortWithEmpty", "id", "", ""},
                                         TextCase{"Long", std::string(40, 'i'), std::string(50, 'l'), std::string(60, 'd')},
                                         TextCase{"Empty", "", "", ""}),
                         [](const testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

TEST(MoveAssignment, OfNewSetOverSetWithTreeDestroysOldNodesOnly) {
    std::vector<int> tally(6, 0);
    CCommandSet set("first", "First");
    auto category = Counted(tally, 0, e_category);
    category->PutChild(Counted(tally, 1));
    category->GetChild()->PutNext(Counted(tally, 2));
    set.push_back(std::move(category));
    set.push_back(Counted(tally, 3));

    CCommandSet replacement("second", "Second");
    replacement.push_back(Counted(tally, 4));
    replacement.push_back(Counted(tally, 5));

    set = std::move(replacement);

    EXPECT_EQ(SlotsDestroyedOtherThanOnce(tally, 0, 4), 0u);
    EXPECT_EQ(tally[4] + tally[5], 0);
    EXPECT_STREQ(Record(set)->id, "second");
    EXPECT_EQ(ChildIds(set), (std::vector<std::string>{"n4", "n5"}));

    set = CCommandSet();
    EXPECT_EQ(SlotsDestroyedOtherThanOnce(tally, 0, tally.size()), 0u);
    ExpectEmptyRecord(set);
}

TEST(MoveAssignment, ToItselfKeepsTree) {
    std::vector<int> tally(2, 0);
    CCommandSet set("set", "Set");
    set.push_back(Counted(tally, 0));
    set.push_back(Counted(tally, 1));
    CCommandSet& same = set;

    set = std::move(same);

    EXPECT_EQ(tally, (std::vector<int>{0, 0}));
    EXPECT_STREQ(Record(set)->id, "set");
    EXPECT_EQ(ChildIds(set), (std::vector<std::string>{"n0", "n1"}));
}

TEST(MoveAssignment, FromOwnChildKeepsWhatTheChildLinked) {
    std::vector<int> tally(4, 0);
    CCommandSet set("set", "Set");
    set.push_back(Counted(tally, 0));
    set.GetChild()->PutChild(Counted(tally, 1));
    set.GetChild()->GetChild()->PutNext(Counted(tally, 2));
    set.GetChild()->PutNext(Counted(tally, 3));

    CActionNode& node = set;
    node = std::move(*set.GetChild());

    // The child itself is gone with the old links; what it linked moved over.
    EXPECT_EQ(tally, (std::vector<int>{1, 0, 0, 0}));
    EXPECT_STREQ(Record(set)->id, "n0");
    EXPECT_EQ(ChildIds(set), (std::vector<std::string>{"n1", "n2"}));
    ASSERT_NE(set.GetNext(), nullptr);
    EXPECT_STREQ(Record(set.GetNext())->id, "n3");
}

// ---- building ----------------------------------------------------------------

struct AppendCase {
    const char* name;
    std::function<void(CCommandTree&, std::string)> append;
    const std::type_info& storedKind;
};

void PrintTo(const AppendCase& c, std::ostream* os) { *os << c.name; }

class Append : public testing::TestWithParam<AppendCase> {};

TEST_P(Append, LinksChildrenInOrder) {
    const AppendCase& c = GetParam();
    CCommandSet set("set", "Set");
    for (const char* id : {"c1", "c2", "c3"}) c.append(set, id);

    const CActionNode* first = set.GetChild();
    ASSERT_NE(first, nullptr);
    const CActionNode* second = first->GetNext();
    ASSERT_NE(second, nullptr);
    const CActionNode* third = second->GetNext();
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(Record(set)->children, Record(first));
    EXPECT_EQ(Record(first)->next, Record(second));
    EXPECT_EQ(Record(second)->next, Record(third));
    EXPECT_EQ(Record(third)->next, nullptr);
    EXPECT_EQ(Record(set)->next, nullptr);
    EXPECT_EQ(ChildIds(set), (std::vector<std::string>{"c1", "c2", "c3"}));
    for (const CActionNode* child : {first, second, third}) {
        EXPECT_EQ(typeid(*child), c.storedKind);
        EXPECT_EQ(Record(child)->type, e_command);
        EXPECT_EQ(Record(child)->children, nullptr);
        ExpectOwnText(Record(child)->description, "About " + std::string(Record(child)->id), *child, "description");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Overloads, Append,
    testing::Values(AppendCase{"MovedNode",
                               [](CCommandTree& tree, std::string id) {
                                   CCommand command(id, "", "About " + id);
                                   tree.push_back(std::move(command));
                                   ExpectEmptyRecord(command);
                               },
                               typeid(CActionNode)},
                    AppendCase{"OwnedNode",
                               [](CCommandTree& tree, std::string id) { tree.push_back(std::make_unique<CCommand>(id, "", "About " + id)); },
                               typeid(CCommand)}),
    [](const testing::TestParamInfo<AppendCase>& info) { return std::string(info.param.name); });

TEST(Append, CategoryWithChildrenMovesWholeSubtree) {
    CCommandSet set("set", "Set");
    CCategory category("A", "Category A");
    CCategory inner("B", "Category B");
    inner.push_back(CCommand("b1", "", ""));
    category.push_back(CCommand("a1", "", ""));
    category.push_back(std::move(inner));
    category.push_back(CCommand("a2", "", ""));

    set.push_back(std::move(category));

    const CActionNode* moved = set.GetChild();
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(Record(moved)->type, e_category);
    ExpectOwnTexts(*moved, "A", "Category A", "");
    EXPECT_EQ(ChildIds(*moved), (std::vector<std::string>{"a1", "B", "a2"}));
    EXPECT_EQ(ChildIds(*moved->GetChild()->GetNext()), (std::vector<std::string>{"b1"}));
    ExpectEmptyRecord(category);
}

// ---- replacing links ---------------------------------------------------------

struct ReplaceCase {
    const char* name;
    void (CActionNode::*put)(std::unique_ptr<CActionNode>);
    CActionNode* (CActionNode::*get)();
    bool withReplacement;
};

void PrintTo(const ReplaceCase& c, std::ostream* os) { *os << c.name; }

class Replace : public testing::TestWithParam<ReplaceCase> {};

TEST_P(Replace, DestroysOldNodeWithItsSiblingsAndSubtree) {
    const ReplaceCase& c = GetParam();
    std::vector<int> tally(6, 0);
    CActionNode root("root", "", e_command_set);
    // Old link: 0 -> 1 -> 2 as siblings, 3 below 0 and 4 below 2.
    (root.*c.put)(Counted(tally, 0));
    CActionNode* old = (root.*c.get)();
    old->PutChild(Counted(tally, 3));
    old->PutNext(Counted(tally, 1));
    old->GetNext()->PutNext(Counted(tally, 2));
    old->GetNext()->GetNext()->PutChild(Counted(tally, 4));

    std::unique_ptr<CActionNode> replacement = c.withReplacement ? Counted(tally, 5) : nullptr;
    const siActionNodeEx_s* expected = Record(replacement.get());
    (root.*c.put)(std::move(replacement));

    EXPECT_EQ(SlotsDestroyedOtherThanOnce(tally, 0, 5), 0u);
    EXPECT_EQ(tally[5], 0);
    EXPECT_EQ(Record((root.*c.get)()), expected);
}

INSTANTIATE_TEST_SUITE_P(Links, Replace,
                         testing::Values(ReplaceCase{"ChildByNode", &CActionNode::PutChild, &CActionNode::GetChild, true},
                                         ReplaceCase{"ChildByNothing", &CActionNode::PutChild, &CActionNode::GetChild, false},
                                         ReplaceCase{"NextByNode", &CActionNode::PutNext, &CActionNode::GetNext, true},
                                         ReplaceCase{"NextByNothing", &CActionNode::PutNext, &CActionNode::GetNext, false}),
                         [](const testing::TestParamInfo<ReplaceCase>& info) { return std::string(info.param.name); });

// ---- destroying large trees --------------------------------------------------

struct ShapeCase {
    const char* name;
    // Links the next node below the previous one, or after it.
    bool nested;
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class LargeTree : public testing::TestWithParam<ShapeCase> {};

TEST_P(LargeTree, IsDestroyedOnSmallStackWithEveryNodeOnce) {
    constexpr std::size_t commands = 1'000'000;
    std::vector<int> tally(commands + 1, 0);
    auto set = std::make_unique<CCommandSet>("set", "Set");
    auto category = Counted(tally, 0, e_category);
    // Linked from the last node directly: appending through push_back would
    // walk the whole chain each time.
    CActionNode* last = category.get();
    last->PutChild(Counted(tally, 1));
    last = last->GetChild();
    for (std::size_t slot = 2; slot <= commands; ++slot) {
        if (GetParam().nested) {
            last->PutChild(Counted(tally, slot));
            last = last->GetChild();
        } else {
            last->PutNext(Counted(tally, slot));
            last = last->GetNext();
        }
    }
    set->push_back(std::move(category));

    zibrel_test::RunOnSmallStack([&set] { set.reset(); });

    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(SlotsDestroyedOtherThanOnce(tally, 0, tally.size()), 0u);
    EXPECT_EQ(std::accumulate(tally.begin(), tally.end(), std::size_t{0}), tally.size());
}

INSTANTIATE_TEST_SUITE_P(Shapes, LargeTree, testing::Values(ShapeCase{"SiblingCommands", false}, ShapeCase{"NestedCommands", true}),
                         [](const testing::TestParamInfo<ShapeCase>& info) { return std::string(info.param.name); });

}  // namespace
