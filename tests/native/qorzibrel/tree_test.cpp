// The command tree the application publishes, read by the library at write time.
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>
#include <sstream>

#include "commands/action_node.h"
#include "qorzibrel_test_support.h"

namespace navtest {
namespace {

using zibrel::value;

using node_type = siActionNodeType_e;
constexpr node_type command_set = e_command_set, category = e_category, command = e_command;

// Nodes with stable addresses, linked by hand.
class tree_builder {
public:
    siActionNodeEx_s* node(node_type type, const char* id, const char* label, const char* description = nullptr) {
        return &nodes_.emplace_back(siActionNodeEx_s{48, type, nullptr, nullptr, id, label, description});
    }
    // Append children in order under parent.
    static void adopt(siActionNodeEx_s* parent, std::initializer_list<siActionNodeEx_s*> children) {
        siActionNodeEx_s** link = &parent->children;
        for (auto* child : children) {
            *link = child;
            link = &child->next;
        }
    }

private:
    std::deque<siActionNodeEx_s> nodes_;
};

std::string lines(std::initializer_list<const char*> all) {
    std::string text;
    for (const char* line : all) (text += line) += '\n';
    return text;
}

class TreeTest : public library_test {
protected:
    int32_t publish(const siActionNodeEx_s* root) {
        const value v(root);
        return ZbWriteValue(conn_, "commands.tree", &v);
    }
    uint64_t conn_ = 0;
    void SetUp() override {
        library_test::SetUp();
        conn_ = open();
    }
};

TEST_F(TreeTest, NestedTreeIsWalkedDepthFirst) {
    tree_builder t;
    auto* set = t.node(command_set, "set", "Commands");
    auto* file = t.node(category, "file", "File");
    auto* view = t.node(category, "view", "View");
    auto* zoom = t.node(category, "zoom", "Zoom", "Zoom commands");
    t.adopt(set, {file, view, t.node(command, "help", "Help", "Show help")});
    t.adopt(file, {t.node(command, "open", "Open", "Open a file"), t.node(command, "save", "Save")});
    t.adopt(view, {zoom, t.node(command, "fit", "Fit")});
    t.adopt(zoom, {t.node(command, "in", "In"), t.node(command, "out", nullptr, "Zoom out")});

    EXPECT_EQ(tree_text(conn_), "<none>");
    ASSERT_EQ(publish(set), 0);
    EXPECT_EQ(tree_text(conn_), lines({
                                    "0 set|Commands|-",
                                    "  1 file|File|-",
                                    "    2 open|Open|Open a file",
                                    "    2 save|Save|-",
                                    "  1 view|View|-",
                                    "    1 zoom|Zoom|Zoom commands",
                                    "      2 in|In|-",
                                    "      2 out|-|Zoom out",
                                    "    2 fit|Fit|-",
                                    "  2 help|Help|Show help",
                                }));
    value seen;
    ASSERT_EQ(zbctl_written(conn_, "commands.tree", &seen), 1);
    EXPECT_EQ(seen.type, zibrel::actionnode_type);
    EXPECT_EQ(seen.node, set);
}

TEST_F(TreeTest, TextIsTakenAtWriteTime) {
    tree_builder t;
    auto* set = t.node(command_set, "set", "Before");
    ASSERT_EQ(publish(set), 0);
    set->label = "After";
    set->id = nullptr;
    EXPECT_EQ(tree_text(conn_), lines({"0 set|Before|-"}));
    ASSERT_EQ(publish(set), 0);
    EXPECT_EQ(tree_text(conn_), lines({"0 -|After|-"}));
}

TEST_F(TreeTest, NullRootAndRootSiblings) {
    ASSERT_EQ(publish(nullptr), 0);
    EXPECT_EQ(tree_text(conn_), "");

    tree_builder t;
    auto* first = t.node(command_set, "a", nullptr);
    first->next = t.node(command_set, nullptr, "b");
    ASSERT_EQ(publish(first), 0);
    EXPECT_EQ(tree_text(conn_), lines({"0 a|-|-", "0 -|b|-"}));
}

TEST_F(TreeTest, MalformedTreesAreRefusedAndNotKept) {
    struct case_t {
        const char* what;
        std::function<siActionNodeEx_s*(tree_builder&)> build;
    };
    const std::vector<case_t> cases{
        {"root size 0",
         [](tree_builder& t) {
             auto* root = t.node(command_set, "set", "Set");
             root->size = 0;
             return root;
         }},
        {"child size 56",
         [](tree_builder& t) {
             auto* root = t.node(command_set, "set", "Set");
             auto* child = t.node(command, "c", "C");
             child->size = 56;
             t.adopt(root, {child});
             return root;
         }},
        {"child linking back to its parent",
         [](tree_builder& t) {
             auto* root = t.node(command_set, "set", "Set");
             auto* child = t.node(category, "c", "C");
             t.adopt(root, {child});
             child->children = root;
             return root;
         }},
        {"sibling chain looping",
         [](tree_builder& t) {
             auto* root = t.node(command_set, "set", "Set");
             auto* a = t.node(command, "a", "A");
             auto* b = t.node(command, "b", "B");
             t.adopt(root, {a, b});
             b->next = a;
             return root;
         }},
        {"node shared by two parents",
         [](tree_builder& t) {
             auto* root = t.node(command_set, "set", "Set");
             auto* x = t.node(category, "x", "X");
             auto* y = t.node(category, "y", "Y");
             auto* shared = t.node(command, "s", "S");
             t.adopt(root, {x, y});
             t.adopt(x, {shared});
             y->children = shared;
             return root;
         }},
    };
    tree_builder good;
    ASSERT_EQ(publish(good.node(command_set, "kept", "Kept")), 0);
    const std::string kept = tree_text(conn_);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tree_builder t;
        EXPECT_EQ(publish(c.build(t)), invalid_argument);
        EXPECT_EQ(tree_text(conn_), kept);
    }
}

TEST_F(TreeTest, TreesBeyondTheLimitsAreRefusedUnread) {
    // A label of 64 KiB + 1 bytes without a NUL: the walk stops at the limit,
    // never past the buffer (the address sanitizer watches).
    const std::string too_long(65537, 'l');
    auto label = std::make_unique<char[]>(too_long.size());
    std::memcpy(label.get(), too_long.data(), too_long.size());
    const std::string longest(65536, 'l');

    tree_builder deep;
    auto* root = deep.node(command_set, "set", "Set");
    auto* parent = root;
    for (int depth = 1; depth < 1001; ++depth) {  // 1001 levels, one beyond the limit
        auto* child = deep.node(category, "c", nullptr);
        parent->children = child;
        parent = child;
    }
    tree_builder one_level_less;
    auto* shallow = one_level_less.node(command_set, "set", "Set");
    parent = shallow;
    for (int depth = 1; depth < 1000; ++depth) {
        auto* child = one_level_less.node(category, "c", nullptr);
        parent->children = child;
        parent = child;
    }
    tree_builder labels;
    struct case_t {
        const char* what;
        const siActionNodeEx_s* root;
        int32_t result;
    };
    const std::vector<case_t> cases{
        {"a label without a NUL within 64 KiB", labels.node(command_set, "set", label.get()), invalid_argument},
        {"a label of 64 KiB", labels.node(command_set, "set", longest.c_str()), 0},
        {"1001 levels", root, invalid_argument},
        {"1000 levels", shallow, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(publish(c.root), c.result);
    }
}

TEST_F(TreeTest, TreeMustComeAsANodeRecord) {
    const value wrong(int32_t{0});
    EXPECT_EQ(ZbWriteValue(conn_, "commands.tree", &wrong), invalid_argument);
    EXPECT_EQ(tree_text(conn_), "<none>");
}

TEST_F(TreeTest, LongSiblingChainsDoNotExhaustTheStack) {
    // Far more siblings than a walk recursing along `next` could survive.
    constexpr int count = 500000;
    tree_builder t;
    auto* set = t.node(command_set, "set", "Set");
    auto* category_node = t.node(category, "c", "C");
    t.adopt(set, {category_node});
    siActionNodeEx_s** link = &category_node->children;
    for (int i = 0; i < count; ++i) {
        auto* cmd = t.node(command, "x", nullptr);
        *link = cmd;
        link = &cmd->next;
    }
    ASSERT_EQ(publish(set), 0);
    const std::string text = tree_text(conn_);
    const std::string command_line = "    2 x|-|-\n";
    EXPECT_EQ(text.size(), lines({"0 set|Set|-", "  1 c|C|-"}).size() + count * command_line.size());
    EXPECT_EQ(text.substr(text.size() - command_line.size()), command_line);
}

TEST_F(TreeTest, TreeTextIsCutToTheBuffer) {
    tree_builder t;
    ASSERT_EQ(publish(t.node(command_set, "abcdef", "L")), 0);
    const int full = zbctl_tree(conn_, nullptr, 0);
    ASSERT_EQ(full, static_cast<int>(std::string("0 abcdef|L|-\n").size()));
    char cut[6];
    EXPECT_EQ(zbctl_tree(conn_, cut, sizeof cut), full);
    EXPECT_STREQ(cut, "0 abc");
    EXPECT_EQ(zbctl_tree(conn_ + 1, cut, sizeof cut), -1);
}

}  // namespace
}  // namespace navtest
