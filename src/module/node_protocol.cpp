#include "module/node_protocol.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "module/arguments.hpp"
#include "eval/interrupt.hpp"
#include "module/boundary.hpp"

namespace morvax::module {
namespace {

// Nothing here is noexcept: an allocation failure travels as std::bad_alloc
// to the `guarded` of the public functions below, which raises MemoryError.

constexpr const char* missing_name =
    "Missing required attribute 'name'. Expected a Protocol-compatible object with name, "
    "formula, value, is_hidden, and children attributes";
constexpr const char* missing_children =
    "Missing required attribute 'children'. Expected a Protocol-compatible object with name, "
    "formula, value, is_hidden, and children attributes";
constexpr const char* bad_formula = "Attribute 'formula' must be a string or list of strings";
constexpr const char* bad_children = "Attribute 'children' must be a list";

// The UTF-8 text of a str. False with UnicodeEncodeError set for lone surrogates.
bool utf8_view(PyObject* text, std::string_view& out) {
    // ASCII is its own UTF-8: the characters themselves, without a call.
    if (PyUnicode_IS_ASCII(text)) {
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
        return true;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool utf8_of(PyObject* text, std::string& out) {
    std::string_view view;
    if (!utf8_view(text, view)) return false;
    out.assign(view);
    return true;
}

// New reference: item i of a list, which must exist. With the GIL nothing
// else touches the list between the read and the increment, so the plain
// read serves; without it, only the interpreter's own atomic read does.
PyRef list_item(PyObject* list, Py_ssize_t i) {
#ifdef Py_GIL_DISABLED
    return PyRef::steal(PyList_GetItemRef(list, i));
#else
    return PyRef::new_ref(PyList_GET_ITEM(list, i));
#endif
}

// Asks the processor to start loading the object at place i of a list, when
// there is one, while other work goes on: the nodes of a large tree lie
// strewn over the heap, and reading each is a cache miss that otherwise
// stalls the walk. Three lines: the header, the attribute values after it,
// and the words before it, where a plain object keeps the pointer to its dict
// that a write checks (half the objects have them on a line of their own;
// asked for in the read walks too, they still save 1 to 2% there).
// Always inlined: GCC takes a function whose only effect is a prefetch for
// one without effects, and drops the calls to it altogether.
[[gnu::always_inline]] inline void prefetch_item(PyObject* list, Py_ssize_t i) {
#ifndef Py_GIL_DISABLED  // without the GIL the item array may be freed meanwhile
    if (i >= PyList_GET_SIZE(list)) return;
    const char* object = reinterpret_cast<const char*>(PyList_GET_ITEM(list, i));
    __builtin_prefetch(object - 3 * sizeof(PyObject*));
    __builtin_prefetch(object);
    __builtin_prefetch(object + 64);
#else
    (void)list, (void)i;
#endif
}

// How far ahead of the sibling being read or written the walks ask for one.
constexpr Py_ssize_t kSiblingsAhead = 2;

// How far ahead of the formula text being read its list's reader asks for one.
constexpr Py_ssize_t kTextsAhead = 4;

// Whether item i of a list is `object`: compared, never taken.
bool list_holds(PyObject* list, Py_ssize_t i, PyObject* object) {
#ifdef Py_GIL_DISABLED
    // Another thread may have shortened the list since its length was read.
    PyRef item = PyRef::steal(PyList_GetItemRef(list, i));
    if (!item) PyErr_Clear();
    return item.get() == object;
#else
    return PyList_GET_ITEM(list, i) == object;
#endif
}

// Whether the error set is an Exception: only those may stand for "no
// value" or become the protocol's TypeError. Any other (KeyboardInterrupt,
// SystemExit) stays set and ends the call, so a Ctrl-C inside the caller's
// getter is never reported as success or as a wrong type.
bool is_exception() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// A failure that a silent read may take as "no value": cleared when it is an
// Exception.
bool dropped() {
    if (!is_exception()) return false;
    PyErr_Clear();
    return true;
}

// An optional attribute into `out`: a new reference, or empty when it is
// missing or its read raised an Exception. False with the error set when
// the read raised anything else.
bool optional_attribute(AttributeNames& names, PyObject* object, PyObject* name, PyRef& out) {
    PyObject* found = nullptr;
    const bool ok = names.get_optional(object, name, &found) >= 0 || dropped();
    out = PyRef::steal(found);
    return ok;
}

enum class TextsRead : unsigned char { texts, not_texts, failed, unencodable };

// A sequence of str (a str itself is not one), iterated. `not_texts` without
// an error when it is no sequence or holds another item; `failed` with the
// error that iterating it raised; `unencodable` when `add(item)`, given each
// item, returned false: with the UnicodeEncodeError of an item holding lone
// surrogates. `repeat(times)` stands for `times` more add()s of the item just
// added (a formula repeated in every dimension), and must run no Python code.
template <class Add, class Repeat>
TextsRead read_texts(PyObject* sequence, Add&& add, Repeat&& repeat, PyTypeObject** offending = nullptr) {
    if (PyUnicode_Check(sequence) || !PySequence_Check(sequence)) return TextsRead::not_texts;
    auto not_text = [&](PyObject* item) {
        if (offending != nullptr) *offending = Py_TYPE(item);
        return TextsRead::not_texts;
    };
    if (PyList_CheckExact(sequence)) {
        // What iterating an exact list does, without the iterator: each step
        // reads the length afresh and takes its own reference to the item.
        for (Py_ssize_t k = 0; k < kTextsAhead; ++k) prefetch_item(sequence, k);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sequence); ++i) {
            PyRef item = list_item(sequence, i);
            if (!item) return TextsRead::failed;
            prefetch_item(sequence, i + kTextsAhead);
            if (!PyUnicode_Check(item.get())) return not_text(item.get());
            if (!add(item.get())) return TextsRead::unencodable;
            // The same object at the next places is added again at once:
            // once add() has returned, nothing runs that could change the
            // list before those places are read.
            std::size_t times = 0;
            while (i + 1 < PyList_GET_SIZE(sequence) && list_holds(sequence, i + 1, item.get())) ++times, ++i;
            if (times > 0) repeat(times);
        }
        return TextsRead::texts;
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
    if (!iterator) return TextsRead::failed;
    for (;;) {
        PyObject* raw = nullptr;
        const int got = PyIter_NextItem(iterator.get(), &raw);
        PyRef item = PyRef::steal(raw);
        if (got < 0) return TextsRead::failed;
        if (got == 0) return TextsRead::texts;
        if (!PyUnicode_Check(item.get())) return not_text(item.get());
        if (!add(item.get())) return TextsRead::unencodable;
    }
}

// The objects on the path from the root to the node being read, once it is
// long: an open-addressing set of addresses (linear probing, deletion by
// shifting back), cheaper than a node-based set for one insert and one erase
// per node.
class PathSet {
public:
    PathSet() : slots_(64, nullptr) {}

    // False when `object` is there already.
    bool insert(PyObject* object) {
        std::size_t i = home(object);
        for (; slots_[i] != nullptr; i = (i + 1) & mask()) {
            if (slots_[i] == object) return false;
        }
        slots_[i] = object;
        if (++size_ * 2 > slots_.size()) grow();
        return true;
    }

    void erase(PyObject* object) {
        std::size_t i = home(object);
        while (slots_[i] != object) {
            if (slots_[i] == nullptr) return;
            i = (i + 1) & mask();
        }
        // Moves back each later entry of the run that may sit at the hole.
        for (std::size_t j = (i + 1) & mask(); slots_[j] != nullptr; j = (j + 1) & mask()) {
            const std::size_t want = home(slots_[j]);
            // slots_[j] may move to i unless its home lies cyclically in (i, j].
            const bool stays = i <= j ? (i < want && want <= j) : (i < want || want <= j);
            if (!stays) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = nullptr;
        --size_;
    }

private:
    std::size_t mask() const { return slots_.size() - 1; }
    std::size_t home(PyObject* object) const {
        const auto address = reinterpret_cast<std::uintptr_t>(object);
        return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> 32) & mask();
    }
    void grow() {
        std::vector<PyObject*> old(slots_.size() * 2, nullptr);
        old.swap(slots_);
        size_ = 0;
        for (PyObject* object : old) {
            if (object != nullptr) insert(object);
        }
    }

    std::vector<PyObject*> slots_;  // a power of two, at most half full
    std::size_t size_ = 0;
};

// What a reading of one object found, for the note on a protocol TypeError.
struct Reading {
    explicit Reading(AttributeNames& attribute_names) : names(attribute_names) {}

    AttributeNames& names;
    PyRef name;                       // the object's name, once read
    std::size_t texts = 0;            // its formula texts (a single formula is one)
    const char* received = nullptr;   // the type of what broke the protocol
    bool item = false;                // ...an item of the formula list
    bool protocol_error = false;      // the error set is the protocol's TypeError
};

// Raises `message` as TypeError, keeping a pending exception as its context.
bool type_error(const char* message) {
    PyObject* cause = PyErr_GetRaisedException();  // new reference or null
    PyErr_SetString(PyExc_TypeError, message);
    if (cause != nullptr) {
        PyRef raised = PyRef::steal(PyErr_GetRaisedException());
        PyException_SetContext(raised.get(), cause);  // steals cause
        PyErr_SetRaisedException(raised.release());
    }
    return false;
}

// type_error, remembering the type received.
bool protocol_error(Reading& r, const char* message, PyTypeObject* received, bool item = false) {
    r.protocol_error = true;
    r.received = received->tp_name;
    r.item = item;
    return type_error(message);
}

// Where one object's fields go: a Node, every field kept.
class NodeTarget {
public:
    // Without `keep_formulas`, the formula texts are read and checked alike
    // but not kept: the node's formula stays empty.
    NodeTarget(Node& node, bool keep_formulas) : node_(node), keep_formulas_(keep_formulas) {}

    // The fields an evaluation has no use for are still read and checked
    // alike, but only a Node keeps them.
    static constexpr bool keeps_id = true;
    static constexpr bool keeps_cells = true;
    std::string& id() { return node_.id; }
    // These take a str; false with the UnicodeEncodeError of lone surrogates.
    bool set_name(PyObject* name) { return utf8_of(name, node_.name); }
    bool set_single_formula(PyObject* formula) {
        std::string_view text;
        if (!utf8_view(formula, text)) return false;
        if (!keep_formulas_) return true;
        node_.formula = AnyDim<std::string>::single(std::string(text));
        node_.value = AnyDim<EvalResult>::single(EvalResult::empty());
        return true;
    }
    // `expected`: the list's length when it is one, to size the texts.
    void start_formula_list(std::size_t expected) {
        texts_.clear();
        if (keep_formulas_) texts_.reserve(expected);
    }
    bool add_formula_text(PyObject* item) {
        std::string_view text;
        if (!utf8_view(item, text)) return false;
        if (keep_formulas_) texts_.emplace_back(text);
        return true;
    }
    void repeat_formula_text(std::size_t times) {
        if (keep_formulas_) texts_.insert(texts_.end(), times, texts_.back());
    }
    void end_formula_list() {
        if (!keep_formulas_) return;
        node_.value = AnyDim<EvalResult>::multi(std::vector<EvalResult>(texts_.size()));
        node_.formula = AnyDim<std::string>::multi(std::move(texts_));
    }
    void set_hidden(bool hidden) { node_.is_hidden = hidden; }
    void set_cells(AnyDim<std::string> cells) { node_.cells = std::move(cells); }

private:
    Node& node_;
    bool keep_formulas_;
    std::vector<std::string> texts_;
};

// The hash by which a FlatTree interns a formula text. An ASCII str's own
// hash is its bytes' keyed hash, the same as for its UTF-8, and the str
// keeps it once computed: a model evaluated again hashes nothing. (str's own
// slot, not the object's: a subclass's __hash__ is the caller's code.) Other
// texts take their UTF-8's hash_text; equal texts take the same route.
std::uint64_t text_hash(PyObject* text, std::string_view utf8) {
    if (PyUnicode_IS_ASCII(text)) return static_cast<std::uint64_t>(PyUnicode_Type.tp_hash(text));
    return hash_text(utf8);
}

// The ids a read gave to str objects it met before, by the object: a str
// shared by many nodes (an item name in every department, a formula list of
// one str twelve times) is taken again without its UTF-8 being hashed or
// looked up. Direct-mapped; each entry holds its str, so that no other
// object takes the address while it stands here.
class SeenTexts {
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    std::uint32_t find(PyObject* text) const {
        if (entries_.empty()) return kNone;
        const Entry& entry = entries_[place(text)];
        return entry.text.get() == text ? entry.id : kNone;
    }
    void remember(PyObject* text, std::uint32_t id) {
        // The table grows with the strs it is given, to its full size: a
        // call on a small tree makes (and drops) a small one.
        if (++remembered_ > grow_at_) grow();
        Entry& entry = entries_[place(text)];
        entry.text = PyRef::new_ref(text);
        entry.id = id;
    }

private:
    static constexpr int kFirstBits = 4;
    static constexpr int kMostBits = 8;
    struct Entry {
        PyRef text;
        std::uint32_t id = kNone;
    };
    std::size_t place(PyObject* text) const {
        return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(text) * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    // Four times larger, every entry placed anew: out of line, as it is rare.
    [[gnu::noinline]] void grow() {
        const int bits = entries_.empty() ? kFirstBits : 64 - shift_ + 2;
        std::vector<Entry> old(std::size_t{1} << bits);
        old.swap(entries_);
        shift_ = 64 - bits;
        grow_at_ = bits < kMostBits ? entries_.size() : static_cast<std::size_t>(-1);
        for (Entry& entry : old) {
            if (entry.text) entries_[place(entry.text.get())] = std::move(entry);
        }
    }

    std::vector<Entry> entries_;  // 2^(64 - shift_) of them, or none
    int shift_ = 64;
    std::size_t remembered_ = 0;
    std::size_t grow_at_ = 0;  // grown when more strs than this were remembered
};

// What reading a whole tree into a FlatTree keeps from node to node.
struct FlatReading {
    FlatReading(FlatTree& tree, std::vector<PyRef>& texts_held) : tree(tree), held(texts_held) {
        pending.reserve(FlatTree::kTextBlock);
        tree.borrow_texts();
    }

    // Interns the texts read so far: the strs whose UTF-8 became the
    // tree's own texts stay held, the others go.
    void flush() {
        tree.flush_texts();
        for (const std::uint32_t i : tree.added_texts()) held.push_back(std::move(pending[i]));
        pending.clear();
    }

    FlatTree& tree;
    std::vector<PyRef>& held;
    std::vector<PyRef> pending;  // the strs of the texts the tree has yet to intern
    SeenTexts names;             // ids in the tree's names
    SeenTexts texts;             // the formula slot that first held the str
};

// Where one object's fields go: node `n` of a FlatTree, what an evaluation reads.
class FlatTarget {
public:
    FlatTarget(FlatReading& reading, std::size_t n) : tree_(reading.tree), n_(n), reading_(reading) {}

    static constexpr bool keeps_id = false;
    static constexpr bool keeps_cells = false;
    std::string& id() { return unused_; }
    bool set_name(PyObject* name) {
        const std::uint32_t seen = reading_.names.find(name);
        if (seen != SeenTexts::kNone) {
            tree_.set_name_id(n_, seen);
            return true;
        }
        std::string_view text;
        if (!utf8_view(name, text)) return false;
        tree_.set_name(n_, text);
        reading_.names.remember(name, tree_.name(n_));
        return true;
    }
    bool set_single_formula(PyObject* formula) {
        tree_.set_list(n_, false);
        return add_formula_text(formula);
    }
    void start_formula_list(std::size_t) { tree_.set_list(n_, true); }
    bool add_formula_text(PyObject* item) {
        const std::uint32_t seen = reading_.texts.find(item);
        if (seen != SeenTexts::kNone) {
            last_ = seen;
            previous_ = PyRef();  // its text is not read: nothing to compare the next one with
            tree_.add_copy(seen);
            return true;
        }
        std::string_view text;
        if (!utf8_view(item, text)) return false;
        // The same text as the str before it in this list, made anew (a
        // formula written out for each dimension): a copy, not looked up.
        if (previous_ && text == previous_text_) {
            tree_.add_copy(last_);
            return true;
        }
        previous_ = PyRef::new_ref(item);  // keeps previous_text_ alive
        previous_text_ = text;
        last_ = tree_.next_slot();
        reading_.texts.remember(item, last_);
        // The tree interns texts a block at a time, viewing their UTF-8.
        reading_.pending.push_back(PyRef::new_ref(item));
        tree_.add_text(text, text_hash(item, text));
        if (tree_.texts_pending() >= FlatTree::kTextBlock) reading_.flush();
        return true;
    }
    void repeat_formula_text(std::size_t times) { tree_.add_copies(last_, times); }
    void end_formula_list() {}
    void set_hidden(bool hidden) { tree_.set_hidden(n_, hidden); }
    void set_cells(AnyDim<std::string>) {}

private:
    FlatTree& tree_;
    std::size_t n_;
    FlatReading& reading_;
    std::uint32_t last_ = 0;  // the slot whose text the last text added has
    PyRef previous_;          // the last str added, when its text was read: last_'s text
    std::string_view previous_text_;
    std::string unused_;
};

// The same, keeping the object's id too.
class FlatIdTarget : public FlatTarget {
public:
    FlatIdTarget(FlatReading& reading, std::size_t n, std::string& id) : FlatTarget(reading, n), id_(id) {}

    static constexpr bool keeps_id = true;
    std::string& id() { return id_; }

private:
    std::string& id_;
};

// How many texts to make room for when reading `sequence`: a list's length,
// up to a bound, since an item past the first few may fail the read.
std::size_t expected_texts(PyObject* sequence) {
    constexpr Py_ssize_t kMost = 4096;
    return PyList_Check(sequence) ? static_cast<std::size_t>(std::min(PyList_GET_SIZE(sequence), kMost)) : 0;
}

template <class Target>
bool read_id(Reading& r, PyObject* object, Target& node) {
    if (!Target::keeps_id && r.names.unobserved(object, r.names.id.get())) return true;
    PyRef id;
    if (!optional_attribute(r.names, object, r.names.id.get(), id)) return false;
    if (!Target::keeps_id) return true;
    if (id && PyUnicode_Check(id.get()) && !utf8_of(id.get(), node.id())) {
        if (!dropped()) return false;
        node.id().clear();
    }
    return true;
}

template <class Target>
bool read_name(Reading& r, PyObject* object, Target& node) {
    PyRef name = r.names.get(object, r.names.name.get());
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) return protocol_error(r, missing_name, Py_TYPE(name.get()));
    if (!node.set_name(name.get())) return false;
    r.name = std::move(name);
    return true;
}

template <class Target>
bool read_formula(Reading& r, PyObject* object, Target& node) {
    PyRef formula = r.names.get(object, r.names.formula.get());
    if (!formula) return false;
    if (PyUnicode_Check(formula.get())) {
        r.texts = 1;
        return node.set_single_formula(formula.get());
    }
    node.start_formula_list(expected_texts(formula.get()));
    PyTypeObject* offending = nullptr;
    auto add = [&](PyObject* item) {
        ++r.texts;
        return node.add_formula_text(item);
    };
    auto repeat = [&](std::size_t times) {
        r.texts += times;
        node.repeat_formula_text(times);
    };
    switch (read_texts(formula.get(), add, repeat, &offending)) {
        case TextsRead::texts: break;
        case TextsRead::unencodable: return false;
        case TextsRead::not_texts:
            // bytes are a sequence of ints: their own type says what went wrong.
            if (offending != nullptr && !PyBytes_Check(formula.get()) && !PyByteArray_Check(formula.get())) {
                return protocol_error(r, bad_formula, offending, true);
            }
            return protocol_error(r, bad_formula, Py_TYPE(formula.get()));
        case TextsRead::failed:
            if (!is_exception()) return false;
            return protocol_error(r, bad_formula, Py_TYPE(formula.get()));
    }
    node.end_formula_list();
    return true;
}

template <class Target>
bool read_is_hidden(Reading& r, PyObject* object, Target& node) {
    PyRef flag;
    if (!optional_attribute(r.names, object, r.names.is_hidden.get(), flag)) return false;
    if (!flag) return true;
    const FlagTruth truth = read_flag(flag.get());
    if (truth == FlagTruth::failed && !dropped()) return false;
    node.set_hidden(truth == FlagTruth::true_value);
    return true;
}

template <class Target>
bool read_cells(Reading& r, PyObject* object, Target& node) {
    PyRef cells;
    if (!optional_attribute(r.names, object, r.names.cells.get(), cells)) return false;
    if (!cells) return true;
    if (PyUnicode_Check(cells.get())) {
        if (!Target::keeps_cells) return true;
        std::string text;
        if (utf8_of(cells.get(), text)) {
            node.set_cells(AnyDim<std::string>::single(std::move(text)));
        } else if (!dropped()) {
            return false;
        }
        return true;
    }
    // A sequence is iterated either way: iterating it is something the
    // caller's object may see, unless it is a list.
    if (!Target::keeps_cells && PyList_CheckExact(cells.get())) return true;
    std::vector<std::string> texts;
    if (Target::keeps_cells) texts.reserve(expected_texts(cells.get()));
    auto add = [&](PyObject* item) {
        if (!Target::keeps_cells) return true;
        std::string_view text;
        if (!utf8_view(item, text)) return false;
        texts.emplace_back(text);
        return true;
    };
    auto repeat = [&](std::size_t times) {
        if (Target::keeps_cells) texts.insert(texts.end(), times, texts.back());
    };
    const TextsRead read = read_texts(cells.get(), add, repeat);
    if ((read == TextsRead::failed || read == TextsRead::unencodable) && !dropped()) return false;
    if (read == TextsRead::texts) node.set_cells(AnyDim<std::string>::multi(std::move(texts)));
    return true;
}

// New reference to the children list, or empty with the protocol's TypeError
// (or with what the read raised, when that is no Exception).
PyRef read_children(Reading& r, PyObject* object) {
    PyRef children = r.names.get(object, r.names.children.get());
    if (!children) {
        if (!is_exception()) return {};
        // Whatever Exception the read raised, the protocol names the attribute.
        PyRef raised = PyRef::steal(PyErr_GetRaisedException());
        PyErr_Clear();
        protocol_error(r, missing_children, Py_TYPE(raised.get()));
        return {};
    }
    if (!PyList_Check(children.get())) {
        protocol_error(r, bad_children, Py_TYPE(children.get()));
        return {};
    }
    return children;
}

// One object's own fields, in the protocol's read order, and its children list.
template <class Target>
bool read_node(Reading& r, PyObject* object, Target&& node, PyRef& children) {
    if (!read_id(r, object, node) || !read_name(r, object, node) || !read_formula(r, object, node) ||
        !read_is_hidden(r, object, node) || !read_cells(r, object, node)) {
        return false;
    }
    children = read_children(r, object);
    return static_cast<bool>(children);
}

// New reference: a str of ASCII text, without decoding.
PyObject* new_ascii(std::string_view text) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (s != nullptr && !text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(s), text.data(), text.size());
    return s;
}

// The texts of results written back in one call. A model writes each
// distinct result many times over (inputs, constants, rows that repeat) and a
// str is immutable, so every distinct result seen in the call gets one str,
// made once and shared by every list that holds it: an open-addressing map by
// the result's fields (linear probing, at most three quarters full), which
// never drops an entry before the call ends. A small cache that replaced
// entries made the same text again and again and touched cold strings to
// drop them.
class ResultTexts {
public:
    // New reference: the result's text (numbers and error texts are ASCII).
    PyObject* text(const EvalResult& result) {
        if (PyObject* known = held(result)) return Py_NewRef(known);
        PyRef made = new_text_of(result);
        if (!made) return nullptr;
        if (!result.is_number()) {
            other_[other_index(result)] = PyRef::new_ref(made.get());
            return made.release();
        }
        if (numbers_.empty()) numbers_.resize(kFirstSize);  // only writes of values use it
        // A full table at its largest keeps what it has: the rest are made
        // afresh each time rather than held for the whole call.
        if ((numbers_size_ + 1) * kLoadDen > numbers_.size() * kLoadNum && numbers_.size() >= kLargestSize) {
            return made.release();
        }
        const auto bits = std::bit_cast<std::uint64_t>(result.value());
        const std::size_t mask = numbers_.size() - 1;
        std::size_t i = home(bits) & mask;
        while (numbers_[i].text) i = (i + 1) & mask;  // the free slot that ended held()'s probe
        numbers_[i] = {bits, PyRef::new_ref(made.get())};
        if (++numbers_size_ * kLoadDen > numbers_.size() * kLoadNum) grow();
        return made.release();
    }

    // Borrowed: the result's text if this map already holds one, else null.
    PyObject* held(const EvalResult& result) const {
        if (!result.is_number()) return other_[other_index(result)].get();
        if (numbers_.empty()) return nullptr;
        const auto bits = std::bit_cast<std::uint64_t>(result.value());
        const std::size_t mask = numbers_.size() - 1;
        for (std::size_t i = home(bits) & mask; numbers_[i].text; i = (i + 1) & mask) {
            if (numbers_[i].bits == bits) return numbers_[i].text.get();
        }
        return nullptr;
    }

    // The slot `result` would take is fetched now, so the misses of several
    // results overlap instead of following one another. (Always inlined, as
    // prefetch_item, or GCC drops the calls.)
    [[gnu::always_inline]] void prefetch(const EvalResult& result) const {
        if (!result.is_number() || numbers_.empty()) return;
        __builtin_prefetch(&numbers_[home(std::bit_cast<std::uint64_t>(result.value())) & (numbers_.size() - 1)]);
    }

private:
    // A power of two, and small: a call on a small tree makes and drops the
    // table every time, and a large one doubles it a few times more.
    static constexpr std::size_t kFirstSize = 16;
    // 16 MiB of table: a model of millions of distinct values does not hold
    // a second reference to each of them.
    static constexpr std::size_t kLargestSize = std::size_t{1} << 20;
    static constexpr std::size_t kLoadNum = 3, kLoadDen = 4;  // the most a table is filled
    // Every kind of EvalError, Value being the last.
    static constexpr std::size_t kErrorKinds = static_cast<std::size_t>(EvalError::Value) + 1;

    // 16 bytes: four to a cache line, the table of a large model stays small.
    struct Number {
        std::uint64_t bits = 0;  // of the double
        PyRef text;              // empty: a free slot
    };

    // Empty first, then each error kind.
    static std::size_t other_index(const EvalResult& result) {
        return result.is_empty() ? 0 : 1 + static_cast<std::size_t>(result.error_kind());
    }

    static PyRef new_text_of(const EvalResult& result) {
        char buffer[kNumberTextMax];
        const char* end = result.write_to(buffer);
        return PyRef::steal(new_ascii(std::string_view(buffer, static_cast<std::size_t>(end - buffer))));
    }

    // Numbers that differ only in their high bits (whole numbers, say) must
    // still spread over the table: every bit is mixed into the low ones.
    static std::size_t home(std::uint64_t bits) {
        bits ^= bits >> 33;
        bits *= 0xFF51AFD7ED558CCDull;
        bits ^= bits >> 33;
        return static_cast<std::size_t>(bits);
    }

    void grow() {
        std::vector<Number> old(numbers_.size() * 2);
        old.swap(numbers_);
        const std::size_t mask = numbers_.size() - 1;
        for (Number& n : old) {
            if (!n.text) continue;
            std::size_t i = home(n.bits) & mask;
            while (numbers_[i].text) i = (i + 1) & mask;
            numbers_[i] = std::move(n);
        }
    }

    std::vector<Number> numbers_;
    std::size_t numbers_size_ = 0;
    std::array<PyRef, 1 + kErrorKinds> other_;  // by other_index
};

// New reference: one str for a single element, a new list of str otherwise.
template <class T, class MakeText>
PyRef new_field_object(const AnyDim<T>& field, MakeText&& make) {
    if (field.is_single()) return PyRef::steal(make(field.single_value()));
    const auto& items = field.list();
    return new_list(items.size(), [&](std::size_t i) { return make(items[i]); });
}

PyRef new_field_object(NodeField field, const Node& node, ResultTexts& results) {
    // A list often repeats one text in every dimension: each run of equal
    // texts shares one str.
    PyObject* last = nullptr;  // the list's, made for *last_text
    const std::string* last_text = nullptr;
    auto text = [&](const std::string& s) {
        if (last != nullptr && s == *last_text) return Py_NewRef(last);
        last = new_text(s);
        last_text = &s;
        return last;
    };
    switch (field) {
        case NodeField::value:
            return new_field_object(node.value, [&](const EvalResult& r) { return results.text(r); });
        case NodeField::formula: return new_field_object(node.formula, text);
        case NodeField::cells: return new_field_object(node.cells, text);
    }
    return {};
}

// Sets `attribute` of `object` to what `made` holds; `children` gets the
// object's children list, or stays empty when that is not a list.
bool set_and_read_children(AttributeNames& names, PyObject* object, PyObject* attribute,
                           PyRef made, PyRef& children) {
    if (!made || !names.set(object, attribute, made.get())) return false;
    PyRef list = names.get(object, names.children.get());
    if (!list) return false;
    if (PyList_Check(list.get())) children = std::move(list);
    return true;
}

// The children of a Node tree, visited through its Node objects.
struct NodeChildren {
    using Item = const Node*;
    Item first(Item parent) const { return parent->children.data(); }
    Item next(Item, Item child) const { return child + 1; }
    bool ended(Item parent, Item child) const { return child == parent->children.data() + parent->children.size(); }
};

// The children of an indexed tree, visited by pre-order position alone: the
// walk never touches the Node objects, which a large tree no longer holds in
// the cache by the time its results are written.
struct PositionChildren {
    using Item = NodePtr;
    std::span<const NodePtr> ends;  // where each node's subtree ends
    Item first(Item parent) const { return parent + 1; }
    Item next(Item, Item child) const { return ends[child]; }
    bool ended(Item parent, Item child) const { return child >= ends[parent]; }
};

// The walk of update_node_field: `root` and the objects matching the items of
// a tree by position among their siblings, in pre-order, each given
// `write(object, item, children)`.
template <class Children, class Write>
bool write_tree(PyObject* root, typename Children::Item tree, const Children& shape, Write&& write) {
    using Item = typename Children::Item;
    struct Frame {
        PyRef list;
        Item parent;
        Item next;  // parent's child to write next
        Py_ssize_t index;  // next's place in list
    };
    std::vector<Frame> open;
    PyRef children;
    if (!write(root, tree, children)) return false;
    if (children) open.push_back({std::move(children), tree, shape.first(tree), 0});
    while (!open.empty()) {
        Frame& top = open.back();
        if (shape.ended(top.parent, top.next)) {
            open.pop_back();
            continue;
        }
        const Item child = top.next;
        const Py_ssize_t i = top.index++;
        top.next = shape.next(top.parent, child);
        if (i >= PyList_GET_SIZE(top.list.get())) continue;
        PyRef item = list_item(top.list.get(), i);
        if (!item) return false;
        prefetch_item(top.list.get(), i + kSiblingsAhead);
        if (!write(item.get(), child, children)) return false;
        if (!children) continue;
        for (Py_ssize_t k = 0; k < kSiblingsAhead; ++k) prefetch_item(children.get(), k);
        open.push_back({std::move(children), child, shape.first(child), 0});
    }
    return true;
}

// The value objects of an evaluated tree, what save_values would store in
// each node's `value`, made for nodes in pre-order. The lists of a block of
// nodes are made together, their cells' texts looked up in batches whose
// misses overlap.
class ValueObjects {
public:
    ValueObjects(const TreeEvaluation& evaluation, ResultTexts& texts)
        : evaluation_(evaluation), memo_(evaluation.memo()), texts_(texts),
          size_(evaluation.tree().size()), dims_(memo_.dimensions()),
          block_(std::max<std::size_t>(1, kBlockCells / std::max<std::size_t>(1, dims_))) {}

    // New reference: the value of the node at `position`. Positions asked
    // for increase from call to call.
    PyRef make(NodePtr position) {
        if (!evaluation_.value_is_list(position)) {
            // A single formula: one result, or none when never evaluated.
            const bool single = memo_.shape(position) == MemoTable::Shape::Single;
            return PyRef::steal(texts_.text(single ? memo_.result_at(position, 0) : EvalResult::empty()));
        }
        if (dims_ == 0) return PyRef::steal(PyList_New(0));  // no formula has a dimension
        if (position < first_ || position >= end_) {
            if (!prepare(position)) return {};
        }
        return std::move(lists_[position - first_]);
    }

private:
    static constexpr std::size_t kBlockCells = 4096;

    // The lists of the listed nodes of the block starting at `first`, every
    // item filled. A list is handed out only once whole, so a failure part
    // way leaves no list with a missing item in the caller's hands.
    bool prepare(NodePtr first) {
        first_ = first;
        end_ = static_cast<NodePtr>(std::min(size_, first + block_));
        lists_.clear();
        lists_.resize(end_ - first_);
        cells_.clear();
        for (NodePtr n = first_; n < end_; ++n) {
            if (!evaluation_.value_is_list(n)) continue;
            PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(dims_)));
            if (!list) return false;
            PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
            for (std::size_t d = 0; d < dims_; ++d) {
                const EvalResult result = evaluation_.result_at(n, d);
                // Empty and the errors have their texts at hand: only numbers
                // wait for the batches.
                PyObject* held = result.is_number() ? nullptr : texts_.held(result);
                if (held != nullptr) {
                    items[d] = Py_NewRef(held);
                } else {
                    cells_.push_back({result, items + d});
                }
            }
            lists_[n - first_] = std::move(list);
        }
        // A batch at a time: the map's slots of the batch are fetched
        // together, then the strs they hold, so their misses overlap.
        constexpr std::size_t kBatch = 32;
        std::array<PyObject*, kBatch> known;
        for (std::size_t start = 0; start < cells_.size(); start += kBatch) {
            const std::size_t size = std::min(kBatch, cells_.size() - start);
            const Cell* batch = &cells_[start];
            for (std::size_t k = 0; k < size; ++k) texts_.prefetch(batch[k].result);
            for (std::size_t k = 0; k < size; ++k) {
                known[k] = texts_.held(batch[k].result);
                if (known[k] != nullptr) __builtin_prefetch(known[k], 1);
            }
            for (std::size_t k = 0; k < size; ++k) {
                PyObject* text = known[k] != nullptr ? Py_NewRef(known[k]) : texts_.text(batch[k].result);
                if (text == nullptr) return false;
                *batch[k].item = text;  // the list's own reference
            }
        }
        return true;
    }

    struct Cell {
        EvalResult result;
        PyObject** item;  // in its list, empty until filled
    };

    const TreeEvaluation& evaluation_;
    const MemoTable& memo_;
    ResultTexts& texts_;
    std::size_t size_;
    std::size_t dims_;
    std::size_t block_;  // nodes
    NodePtr first_ = 0, end_ = 0;  // the block prepared
    std::vector<PyRef> lists_;     // per node of the block: its list, for listed nodes
    std::vector<Cell> cells_;      // the block's list results whose text is yet to find
};

// The most nodes and formula texts a tree may have. Each occurrence of an
// object counts: one object used as both children of its parent, forty
// levels deep, would be a tree of 2^40 nodes, and the call ends with
// MemoryError at these sizes rather than when the machine runs out.
constexpr std::size_t kMostNodes = std::size_t{1} << 24;
constexpr std::size_t kMostTexts = std::size_t{1} << 28;

bool too_large(const char* what, std::size_t most) {
    PyErr_Format(PyExc_MemoryError,
                 "the tree has more than %zu %s (an object that is a child in several places counts in each)",
                 most, what);
    return false;
}

// Adds to a protocol TypeError a note that says which node broke the
// protocol: the path of names from the root (Company > D1 > Units, with
// [k] where earlier siblings carry the same name), the failing node last,
// and the type received.
void add_path_note(const std::vector<std::string>& path, const Reading& r) {
    std::string note = "in the node at ";
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (i > 0) note += " > ";
        note += path[i];
    }
    note += r.item ? ": got a formula list item of type " : ": got ";
    note += r.received != nullptr ? r.received : "?";
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
    PyRef method = PyRef::steal(PyUnicode_InternFromString("add_note"));  // interned: see call_module_function
    if (text && method) {
        PyRef added = PyRef::steal(PyObject_CallMethodOneArg(raised.get(), method.get(), text.get()));
        if (!added) PyErr_Clear();  // the TypeError itself matters more than its note
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(raised.release());
}

// One open node of read_tree per level of the path from the root. The frame
// keeps its object alive, so no other object can take its address while the
// address stands in the path set.
template <class Handle>
struct OpenNode {
    PyRef object;
    PyRef list;
    Py_ssize_t next;
    Handle node;
};

// False, with the path of `open` and then the failing `node` noted on a
// protocol error (see read_tree for `label`).
template <class Handle, class Label>
bool fail_with_path(const Reading& r, const std::vector<OpenNode<Handle>>& open, Handle node, Label& label) {
    if (!r.protocol_error) return false;
    std::vector<std::string> path;
    for (std::size_t i = 0; i < open.size(); ++i) {
        path.push_back(label(i > 0 ? &open[i - 1].node : nullptr, open[i].node, nullptr));
    }
    // The failing node's name is known only once read (a str whose UTF-8
    // has been made).
    std::string_view own = "(unnamed)";
    if (r.name && !utf8_view(r.name.get(), own)) PyErr_Clear();
    path.push_back(label(open.empty() ? nullptr : &open.back().node, node, &own));
    add_path_note(path, r);
    return false;
}

// The walk of the conversions: `root` and every object below it, in
// pre-order, each read by `read(reading, object, handle, children)` into
// what `handle` stands for; `child_of(handle, expected)` gives the handle of
// a new child of `handle` (which expects that many children in all).
// `label(parent, handle, own)` labels a node in the path of a protocol
// error's note: by `own` when given (the failing node), else by the name it
// was read with; `parent` is null for the root.
template <class Handle, class Read, class ChildOf, class Label>
bool read_tree(AttributeNames& names, PyObject* root, Handle first, Read&& read, ChildOf&& child_of, Label&& label) {
    if (!names.make()) return false;
    std::vector<OpenNode<Handle>> open;
    // Whether an object is on the path already: looked for along the path
    // itself while that is short, as nearly every tree's is; in a hash set
    // from the first time it is long.
    constexpr std::size_t kShortPath = 16;
    PathSet on_path;
    bool hashed = false;
    auto joins_path = [&](PyObject* object) {
        if (!hashed && open.size() < kShortPath) {
            auto is_object = [&](const OpenNode<Handle>& o) { return o.object.get() == object; };
            return std::none_of(open.begin(), open.end(), is_object);
        }
        if (!hashed) {
            for (const OpenNode<Handle>& o : open) on_path.insert(o.object.get());
            hashed = true;
        }
        return on_path.insert(object);
    };
    SignalInterrupt interrupt;
    std::size_t nodes = 0;
    std::size_t texts = 0;
    auto enter = [&](PyRef object, Handle node) {
        if (interrupt.tick()) return false;
        if (++nodes > kMostNodes) return too_large("nodes", kMostNodes);
        Reading r(names);
        PyRef children;
        if (!read(r, object.get(), node, children)) return fail_with_path(r, open, node, label);
        if ((texts += r.texts) > kMostTexts) return too_large("formula texts", kMostTexts);
        for (Py_ssize_t k = 0; k < kSiblingsAhead; ++k) prefetch_item(children.get(), k);
        if (!joins_path(object.get())) {
            // Its own descendant: the tree would never end.
            PyErr_SetString(PyExc_ValueError, "Circular reference detected: a node is its own descendant");
            return false;
        }
        open.push_back({std::move(object), std::move(children), 0, node});
        return true;
    };
    if (!enter(PyRef::new_ref(root), first)) return false;
    while (!open.empty()) {
        OpenNode<Handle>& top = open.back();
        // The length is read afresh for every item: the list may shrink meanwhile.
        if (top.next >= PyList_GET_SIZE(top.list.get())) {
            if (hashed) on_path.erase(top.object.get());
            open.pop_back();
            continue;
        }
        PyRef item = list_item(top.list.get(), top.next++);
        if (!item) return false;
        prefetch_item(top.list.get(), top.next + kSiblingsAhead);
        // The next sibling's object, asked for a step ago, has come by now.
        if (top.next < PyList_GET_SIZE(top.list.get())) {
            names.prefetch_values(PyList_GET_ITEM(top.list.get(), top.next),
                                  {names.name.get(), names.formula.get(), names.cells.get(), names.children.get()});
        }
        const Handle child = child_of(top.node, PyList_GET_SIZE(top.list.get()));
        if (!enter(std::move(item), child)) return false;
    }
    return true;
}

// A node's label in a path: its name, with [k] when it is the k-th of its
// siblings to carry it (k > 1); `(unnamed)` when its name was not read.
// `earlier` lists the names of the siblings before it.
template <class Names>
std::string path_label(std::string_view name, Names&& earlier) {
    std::size_t same = 1;
    earlier([&](std::string_view other) { same += other == name; });
    std::string label(name);
    if (same > 1) label += "[" + std::to_string(same) + "]";
    return label;
}

}  // namespace

bool AttributeNames::make() {
    if (id) return true;  // made by an earlier read or write of the call
    for (auto [slot, text] : {std::pair{&id, "id"}, {&name, "name"}, {&formula, "formula"},
                              {&value, "value"}, {&is_hidden, "is_hidden"},
                              {&cells, "cells"}, {&children, "children"}}) {
        *slot = PyRef::steal(PyUnicode_InternFromString(text));
        if (!*slot) {
            id = PyRef();  // made afresh by the next attempt
            return false;
        }
    }
    return true;
}

PyObject* AttributeNames::of(NodeField field) const {
    switch (field) {
        case NodeField::value: return value.get();
        case NodeField::formula: return formula.get();
        case NodeField::cells: return cells.get();
    }
    return value.get();
}

bool protocol_to_node(AttributeNames& names, PyObject* root, Node& out, bool keep_formulas) noexcept {
    return guarded([&]() -> PyObject* {
        auto read = [&](Reading& r, PyObject* object, Node* node, PyRef& children) {
            return read_node(r, object, NodeTarget(*node, keep_formulas), children);
        };
        auto child_of = [](Node* parent, Py_ssize_t expected) {
            if (parent->children.empty()) parent->children.reserve(static_cast<std::size_t>(expected));
            return &parent->children.emplace_back();
        };
        auto label = [](Node* const* parent, Node* node, const std::string_view* own) {
            return path_label(own != nullptr ? *own : node->name, [&](auto&& visit) {
                if (parent == nullptr) return;
                for (const Node& sibling : (*parent)->children) {
                    if (&sibling == node) break;
                    visit(sibling.name);
                }
            });
        };
        // borrowed: only success is read from it
        return read_tree(names, root, &out, read, child_of, label) ? Py_None : nullptr;
    }) != nullptr;
}

bool protocol_to_flat_tree(AttributeNames& names, PyObject* root, FlatTree& out,
                           std::vector<PyRef>& texts_held, std::vector<std::string>* ids) noexcept {
    return guarded([&]() -> PyObject* {
        FlatReading reading(out, texts_held);
        auto read = [&](Reading& r, PyObject* object, std::size_t n, PyRef& children) {
            if (ids == nullptr) return read_node(r, object, FlatTarget(reading, n), children);
            if (ids->size() <= n) ids->resize(n + 1);
            return read_node(r, object, FlatIdTarget(reading, n, (*ids)[n]), children);
        };
        auto child_of = [&](std::size_t parent, Py_ssize_t) {
            out.count_child(parent);
            return out.add_node();
        };
        auto label = [&](const std::size_t* parent, std::size_t n, const std::string_view* own) {
            return path_label(own != nullptr ? *own : out.name_text(n), [&](auto&& visit) {
                if (parent == nullptr) return;
                for (std::size_t sibling = *parent + 1; sibling < n; sibling = out.subtree_end(sibling)) {
                    visit(out.name_text(sibling));
                }
            });
        };
        if (!read_tree(names, root, out.add_node(), read, child_of, label)) return nullptr;
        reading.flush();
        return Py_None;  // borrowed: only success is read from it
    }) != nullptr;
}

bool update_node_field(AttributeNames& names, PyObject* root, NodeField field, const Node& node) noexcept {
    return guarded([&]() -> PyObject* {
        if (!names.make()) return nullptr;
        ResultTexts texts;
        const bool done = write_tree(root, &node, NodeChildren{}, [&](PyObject* object, const Node* n, PyRef& children) {
            return set_and_read_children(names, object, names.of(field), new_field_object(field, *n, texts), children);
        });
        return done ? Py_None : nullptr;  // borrowed: only success is read from it
    }) != nullptr;
}

bool update_node_values(AttributeNames& names, PyObject* root, const TreeEvaluation& evaluation) noexcept {
    return guarded([&]() -> PyObject* {
        if (!names.make()) return nullptr;
        ResultTexts texts;
        ValueObjects values(evaluation, texts);
        const PositionChildren shape{evaluation.tree().subtree_ends()};
        const bool done = write_tree(root, NodePtr{0}, shape, [&](PyObject* object, NodePtr position, PyRef& children) {
            PyRef value = values.make(position);
            return set_and_read_children(names, object, names.value.get(), std::move(value), children);
        });
        return done ? Py_None : nullptr;  // borrowed: only success is read from it
    }) != nullptr;
}

namespace {

bool update_node_formulas(AttributeNames& names, PyObject* root, const FlatTree& tree,
                          const std::vector<PyRef>& texts) noexcept {
    return guarded([&]() -> PyObject* {
        if (!names.make()) return nullptr;
        const std::vector<NodePtr> ends = subtree_ends(tree);
        const bool done = write_tree(root, NodePtr{0}, PositionChildren{ends}, [&](PyObject* object, NodePtr n, PyRef& children) {
            const std::span<const std::uint32_t> ids = tree.text_ids(n);
            PyRef formula = tree.is_list(n) ? new_list(ids.size(), [&](std::size_t i) { return Py_NewRef(texts[ids[i]].get()); })
                                            : PyRef::new_ref(texts[ids.front()].get());
            return set_and_read_children(names, object, names.formula.get(), std::move(formula), children);
        });
        return done ? Py_None : nullptr;  // borrowed: only success is read from it
    }) != nullptr;
}

}  // namespace

PyRef clone_python_object(PyObject* object) noexcept {
    return call_module_function("copy", "deepcopy", object);
}

namespace {

// `root` itself when in place, else a deep copy of it, once `write(target)`
// has succeeded on it.
template <class Write>
PyRef written_onto(PyObject* root, bool in_place, Write&& write) {
    PyRef target = in_place ? PyRef::new_ref(root) : clone_python_object(root);
    if (!target || !write(target.get())) return {};
    return target;
}

}  // namespace

PyRef write_back(AttributeNames& names, PyObject* root, bool in_place, NodeField field, const Node& tree) noexcept {
    return written_onto(root, in_place, [&](PyObject* target) { return update_node_field(names, target, field, tree); });
}

PyRef write_back_values(AttributeNames& names, PyObject* root, bool in_place, const TreeEvaluation& evaluation) noexcept {
    return written_onto(root, in_place, [&](PyObject* target) { return update_node_values(names, target, evaluation); });
}

PyRef write_back_formulas(AttributeNames& names, PyObject* root, bool in_place, const FlatTree& tree,
                          const std::vector<PyRef>& texts) noexcept {
    return written_onto(root, in_place, [&](PyObject* target) { return update_node_formulas(names, target, tree, texts); });
}

}  // namespace morvax::module
