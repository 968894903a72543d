// The compact JSON form of a Node.
#include <string>
#include <string_view>

#include "check.hpp"
#include "eval/node_json.hpp"

namespace {

using namespace morvax;

Node leaf(std::string name, AnyDim<std::string> formula) {
    Node n;
    n.name = std::move(name);
    n.formula = std::move(formula);
    return n;
}

TEST(json_of_nodes) {
    Node single = leaf("A", AnyDim<std::string>::single("1"));
    single.value = AnyDim<EvalResult>::single(EvalResult::number(0.5));

    Node listed = leaf("B", AnyDim<std::string>::multi({"=1", "x"}));
    listed.id = "b-1";
    listed.is_hidden = true;
    listed.value = AnyDim<EvalResult>::multi({EvalResult::error(EvalError::Ref), EvalResult::empty()});
    listed.cells = AnyDim<std::string>::single("B5");

    Node parent = leaf("P", AnyDim<std::string>::multi({}));
    parent.children.push_back(leaf("C", AnyDim<std::string>::single("")));
    parent.children.push_back(leaf("D", AnyDim<std::string>::single("")));
    parent.children[0].children.push_back(leaf("E", AnyDim<std::string>::single("")));

    struct Row {
        const Node* node;
        std::string_view json;
    };
    const Row rows[] = {
        {&single, R"({"id":"","name":"A","formula":"1","value":"0.5","is_hidden":false,"cells":[],"children":[]})"},
        {&listed, R"({"id":"b-1","name":"B","formula":["=1","x"],"value":["REF!",""],"is_hidden":true,"cells":"B5","children":[]})"},
        {&parent,
         R"({"id":"","name":"P","formula":[],"value":[],"is_hidden":false,"cells":[],"children":[)"
         R"({"id":"","name":"C","formula":"","value":[],"is_hidden":false,"cells":[],"children":[)"
         R"({"id":"","name":"E","formula":"","value":[],"is_hidden":false,"cells":[],"children":[]}]},)"
         R"({"id":"","name":"D","formula":"","value":[],"is_hidden":false,"cells":[],"children":[]}]})"},
    };
    for (const Row& row : rows) CHECK_EQ(node_to_json(*row.node), row.json) << row.node->name;
}

TEST(json_string_escapes) {
    struct Row {
        std::string_view text;
        std::string_view json;
    };
    const Row rows[] = {
        {"plain", R"("plain")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {std::string_view("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
        {"\x7f/", "\"\x7f/\""},                   // DEL and solidus stay as they are
        {"\xc3\xa9\xe6\x97\xa5", "\"\xc3\xa9\xe6\x97\xa5\""},  // UTF-8 bytes unchanged
    };
    for (const Row& row : rows) {
        std::string out;
        append_json_string(out, row.text);
        CHECK_EQ(out, row.json) << row.json;
    }
}

TEST(json_of_a_deep_tree) {
    const std::size_t depth = 100000;
    Node root;
    Node* at = &root;
    for (std::size_t i = 1; i < depth; ++i) at = &at->children.emplace_back();
    const std::string json = node_to_json(root);
    CHECK_EQ(json.size(), depth * std::string_view(R"({"id":"","name":"","formula":[],"value":[],"is_hidden":false,"cells":[],"children":[]})").size());
    std::string closing = R"("children":[]})";
    for (std::size_t i = 1; i < depth; ++i) closing += "]}";
    CHECK(json.ends_with(closing));
}

}  // namespace
