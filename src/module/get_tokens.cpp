// get_tokens(formula): the formula cut into (text, kind) pairs for display.
#include <array>
#include <vector>

#include "module/boundary.hpp"
#include "module/entry_points.hpp"
#include "parser/tokenize.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"formula", ParamKind::text}};
constexpr Signature signature{"get_tokens", params,
    "get_tokens(formula)\n--\n\n"
    "Cut a formula into tokens, for example to highlight it while it is typed.\n"
    "\n"
    "formula: any text; the tokens need not make a valid formula.\n"
    "\n"
    "Returns a list of (text, kind) pairs of str in text order, kind being one\n"
    "of \"number\", \"operator\", \"nodereference\", \"modifier\", \"function\",\n"
    "\"aggregation\", \"conditional\", \"parenthesis\" and \"unexpected\" (text that\n"
    "no rule accepts). Whitespace between tokens belongs to none.\n"
    "\n"
    "Raises TypeError when formula is not a str, UnicodeEncodeError when it\n"
    "holds lone surrogates.\n"
    "\n"
    ">>> get_tokens(\"=sum(children) * 2\")\n"
    "[('=', 'operator'), ('sum', 'aggregation'), ('(', 'parenthesis'), ('children', 'nodereference'), (')', 'parenthesis'), ('*', 'operator'), ('2', 'number')]\n"
    ">>> get_tokens(\"=1 $\")[-1]\n"
    "(' $', 'unexpected')"};

// The kind names of one call, each made once and shared by all its tokens.
class KindNames {
public:
    // New reference to the str of `kind`, or null with an error set.
    PyObject* get(TokenKind kind) noexcept {
        PyRef& name = names_[static_cast<std::size_t>(kind)];
        if (!name) name = PyRef::steal(new_text(display_name(kind)));
        return Py_XNewRef(name.get());
    }

private:
    std::array<PyRef, kTokenKindCount> names_;
};

// New reference: a 2-tuple (text, kind name), or an empty PyRef with the error set.
PyRef token_pair(const Token& token, KindNames& kinds) {
    PyRef text = PyRef::steal(new_text(token.text));
    if (!text) return {};
    PyRef kind = PyRef::steal(kinds.get(token.kind));
    if (!kind) return {};
    PyRef pair = PyRef::steal(PyTuple_New(2));
    if (!pair) return {};
    PyTuple_SET_ITEM(pair.get(), 0, text.release());
    PyTuple_SET_ITEM(pair.get(), 1, kind.release());
    return pair;
}

// New reference: the list of pairs.
PyRef get_tokens(const Arguments& args) {
    const std::vector<Token> tokens = scan_tokens(args[0].text);
    KindNames kinds;
    return new_list(tokens.size(), [&](std::size_t i) { return token_pair(tokens[i], kinds).release(); });
}

}  // namespace

const PyMethodDef get_tokens_method = entry_point<signature, get_tokens>();

}  // namespace morvax::module
