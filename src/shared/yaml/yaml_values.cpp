/// The YAML reader's structure: block and flow collections, anchors and aliases (merge keys are
/// left to PyYAML), built straight into Python values in one pass, with the node sizes the bounded
/// loader measures.

#include "yaml_reader.hpp"

#include "quillon/py.hpp"

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace quillon::yaml {

namespace {

/// Deeper documents go to PyYAML (whose composer recurses per level as this reader does).
constexpr int max_depth = 200;
/// PyYAML forgets a possible simple key once it lies more than 1024 characters back.
constexpr long max_key_length = 1000;
/// Expanded sizes saturate here; any bound is far below.
constexpr uint64_t size_cap = uint64_t(1) << 62;

uint64_t add_size(uint64_t total, uint64_t part) {
    return std::min(size_cap, total + part);
}

/// A built node: its value and its size with every alias expanded.
struct Node {
    nb::object value;
    uint64_t size = 1;
};

/// A mapping key; an explicit one ("? key", as PyYAML writes keys longer than 128
/// characters) may have a block collection on the line of its value indicator.
struct Key {
    Node node;
    bool explicit_key = false;
};

/// Where a block node stands: the document itself, a mapping's value or a sequence's entry.
enum class Context { Root, MappingValue, SequenceEntry };

struct Anchor {
    nb::object value;
    uint64_t size = 0;
    bool complete = false;
};

/// A node's properties: its anchor name and its tag's suffix ("str" for "!!str"), each
/// empty when absent.
struct Props {
    std::string_view anchor;
    std::string_view tag;
    bool has() const { return !anchor.empty() || !tag.empty(); }
};

/// What starts a node on a line: a scalar (built once its role is known; `Quoted` also for
/// block scalars: a string either way), an alias or a flow collection (already built).
struct Item {
    enum class Kind { Plain, Quoted, Alias, Flow } kind = Kind::Plain;
    ScalarText scalar;
    Node node;
    size_t line = 0;
};

/// A mapping as PyYAML's safe constructor builds it: a later pair replaces the value of an equal
/// earlier key but keeps its place.
class MappingBuilder {
  public:
    void add(Key key, Node value) {
        size_ = add_size(add_size(size_, key.node.size), value.size);
        if (PyDict_SetItem(own_.ptr(), key.node.value.ptr(), value.value.ptr()) != 0)
            throw nb::python_error();
    }

    Node finish() { return {std::move(own_), size_}; }

  private:
    nb::dict own_;
    uint64_t size_ = 1;
};

class DepthGuard {
  public:
    explicit DepthGuard(int& depth) : depth_(depth) {
        if (++depth_ > max_depth)
            unsupported("a deeply nested document");
    }
    ~DepthGuard() { --depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

  private:
    int& depth_;
};

class Reader {
  public:
    explicit Reader(std::string_view source) : s_(source) {}
    Document read();

  private:
    /// Moves to the next token of a block context; a second document is left to PyYAML.
    void next_token();
    /// Moves to the next token inside a flow collection, where no document marker may stand.
    void next_flow_token();
    /// The end of the text or the document end marker "...".
    bool at_document_end() const;
    Node parse_node(int parent_indent, Context context, bool line_start, Props outer);
    Node parse_node_below(int parent_indent, Context context, Props props);
    Node parse_value(int parent_indent, Context context);
    /// Moves past a block collection's entry to the next token: true when that continues the
    /// collection at its `column`, false when the collection ends there.
    bool continues_block(int column);
    Node parse_block_sequence(int column, Props props, bool indentless);
    Node parse_block_mapping(int column, Key first, Props props);
    Key parse_next_key(int column);
    /// "? key" of a block mapping at `column`: a scalar alone on its line, followed by the
    /// value indicator on the next line at the same column; other forms are left to PyYAML.
    Key parse_explicit_key(int column);
    Item scan_item(int indent, bool flow, Props props);
    Node parse_flow_node();
    /// After an entry of a flow collection: true past its ',', false at its `closing` bracket.
    bool separated(char closing);
    Node parse_flow_sequence(Props props);
    Node parse_flow_mapping(Props props);
    /// An anchor, a tag or both, in either order, with the spaces after them.
    Props scan_props();
    bool at_props() const { return s_.peek() == '&' || s_.peek() == '!'; }
    bool is_key(const Item& item, const char* start) const;
    Node make_value(Item& item, Props props);
    Key make_key(Item& item, Props props);
    Node empty(Props props);
    Node alias();
    void begin_anchor(Props props);
    /// `begin_anchor` for a collection; tagged collections are left to PyYAML.
    void begin_collection(Props props);
    Node complete_anchor(Props props, Node node);
    /// Counts one composed node, as the bounded loader counts distinct nodes.
    void count_node() { ++document_.distinct_nodes; }

    Scanner s_;
    ScalarValues scalars_;
    std::unordered_map<std::string_view, Anchor> anchors_;
    Document document_;
    int depth_ = 0;
};

void Reader::next_token() {
    s_.skip_to_next_token();
    if (s_.at_document_marker() && s_.peek() == '-')
        unsupported("a second document");
}

void Reader::next_flow_token() {
    s_.skip_to_next_token();
    if (s_.at_document_marker())
        unsupported("a document marker inside a flow collection");
}

bool Reader::at_document_end() const {
    return s_.at_end() || (s_.at_document_marker() && s_.peek() == '.');
}

Document Reader::read() {
    s_.skip_to_next_token();
    if (s_.at_document_marker()) {
        if (s_.peek() != '-')
            unsupported("a document end marker");
        s_.advance(3);
        if (!s_.rest_of_line_empty())
            unsupported("content on the document start line");
        next_token();
    }
    Node root = at_document_end() ? Node{nb::none(), 1} : parse_node(-1, Context::Root, true, {});
    next_token();
    if (!s_.at_end()) {
        if (!at_document_end())
            unsupported("content after the document's node");
        s_.advance(3);
        s_.skip_to_next_token();
        if (!s_.at_end())
            unsupported("content after the document end marker");
    }
    document_.value = std::move(root.value);
    document_.expanded_nodes = root.size;
    return std::move(document_);
}

Props Reader::scan_props() {
    Props props;
    for (;;) {
        if (s_.peek() == '&' && props.anchor.empty()) {
            s_.advance();
            props.anchor = s_.scan_name();
        } else if (s_.peek() == '!' && props.tag.empty()) {
            props.tag = s_.scan_tag();
        } else {
            return props;
        }
        s_.skip_spaces();
    }
}

void Reader::begin_collection(Props props) {
    if (!props.tag.empty())
        unsupported("a tagged collection");
    begin_anchor(props);
}

void Reader::begin_anchor(Props props) {
    if (props.anchor.empty())
        return;
    if (!anchors_.emplace(props.anchor, Anchor{}).second)
        unsupported("a duplicate anchor");
}

Node Reader::complete_anchor(Props props, Node node) {
    if (!props.anchor.empty()) {
        Anchor& anchor = anchors_.at(props.anchor);
        anchor.value = node.value;
        anchor.size = node.size;
        anchor.complete = true;
    }
    return node;
}

Node Reader::alias() {
    s_.advance(); // '*'
    const std::string_view name = s_.scan_name();
    const auto found = anchors_.find(name);
    // An alias inside its own anchor's node is left to the bounded loader, which refuses it.
    if (found == anchors_.end() || !found->second.complete)
        unsupported("an undefined or self-referring alias");
    document_.has_aliases = true;
    return {found->second.value, found->second.size};
}

Node Reader::empty(Props props) {
    if (!props.tag.empty())
        unsupported("a tagged empty node");
    begin_anchor(props);
    count_node();
    return complete_anchor(props, {nb::none(), 1});
}

Item Reader::scan_item(int indent, bool flow, Props props) {
    Item item;
    item.line = s_.line();
    const char c = s_.peek();
    if (c == '*') {
        if (props.has())
            unsupported("an anchor on an alias");
        item.kind = Item::Kind::Alias;
        item.node = alias();
    } else if (c == '[') {
        item.kind = Item::Kind::Flow;
        item.node = parse_flow_sequence(props);
    } else if (c == '{') {
        item.kind = Item::Kind::Flow;
        item.node = parse_flow_mapping(props);
    } else if (c == '\'' || c == '"') {
        item.kind = Item::Kind::Quoted;
        item.scalar = s_.scan_quoted();
    } else if ((c == '|' || c == '>') && !flow) {
        item.kind = Item::Kind::Quoted;
        item.scalar = s_.scan_block_scalar(indent);
    } else if (s_.plain_starts(flow)) {
        item.kind = Item::Kind::Plain;
        item.scalar = s_.scan_plain(indent, flow);
    } else {
        unsupported("a token the reader leaves to PyYAML (tag, block scalar, complex key, ...)");
    }
    return item;
}

/// A simple key: a scalar or alias on one line, followed on that line by ':'.
bool Reader::is_key(const Item& item, const char* start) const {
    return item.kind != Item::Kind::Flow && !item.scalar.multiline && s_.line() == item.line &&
           s_.at_value_indicator(false) && s_.position() - start <= max_key_length;
}

Node Reader::make_value(Item& item, Props props) {
    switch (item.kind) {
    case Item::Kind::Alias:
    case Item::Kind::Flow:
        return std::move(item.node);
    case Item::Kind::Plain:
    case Item::Kind::Quoted:
        break;
    }
    begin_anchor(props);
    count_node();
    nb::object value = !props.tag.empty()               ? scalars_.tagged(props.tag, item.scalar)
                       : item.kind == Item::Kind::Plain ? scalars_.plain(item.scalar)
                                                        : scalars_.text(item.scalar);
    return complete_anchor(props, {std::move(value), 1});
}

Key Reader::make_key(Item& item, Props props) {
    if (item.kind == Item::Kind::Flow)
        unsupported("a collection as a mapping key");
    if (item.kind == Item::Kind::Alias) {
        const PyObject* value = item.node.value.ptr();
        if (PyDict_Check(value) || PyList_Check(value))
            unsupported("a collection as a mapping key");
        return {std::move(item.node)};
    }
    if (item.kind == Item::Kind::Plain && (item.scalar.text == "<<" || item.scalar.text == "=")) {
        if (props.has())
            unsupported("an anchor on a merge or value key");
        // PyYAML releases order merged keys differently: a merge is left to the installed one.
        if (item.scalar.text == "<<")
            unsupported("a merge key");
        count_node();
        return {{scalars_.text(item.scalar), 1}};
    }
    return {make_value(item, props)};
}

Node Reader::parse_node(int parent_indent, Context context, bool line_start, Props outer) {
    DepthGuard guard(depth_);
    const int column = s_.column();
    const char* start = s_.position();
    if (s_.at_block_entry()) {
        if (!line_start && context != Context::SequenceEntry)
            unsupported("a block sequence on the line of a mapping key");
        return parse_block_sequence(column, outer, false);
    }
    if (s_.at_explicit_key()) {
        if (context == Context::MappingValue && !line_start)
            unsupported("a mapping key on the line of another key");
        if (outer.has())
            unsupported("properties on a mapping of explicit keys");
        return parse_block_mapping(column, parse_explicit_key(column), {});
    }
    Props own;
    if (at_props()) {
        own = scan_props();
        if (s_.rest_of_line_empty()) {
            if (outer.has())
                unsupported("two sets of properties on one node");
            next_token();
            return parse_node_below(parent_indent, context, own);
        }
        if (s_.at_block_entry() || at_props())
            unsupported("properties before a sequence entry or repeated");
    }
    const char next = s_.peek();
    if (own.has() && outer.has() && (next == '[' || next == '{'))
        unsupported("two anchors on one node");
    Item item = scan_item(parent_indent + 1, false, own.has() ? own : outer);
    s_.skip_spaces();
    if (is_key(item, start)) {
        if (context == Context::MappingValue && !line_start)
            unsupported("a mapping key on the line of another key");
        Key first = make_key(item, own);
        return parse_block_mapping(column, std::move(first), outer);
    }
    if (s_.at_value_indicator(false))
        unsupported("a mapping value without a simple key");
    if (own.has() && outer.has())
        unsupported("two anchors on one node");
    return make_value(item, own.has() ? own : outer);
}

/// The node that starts on a later line than its mapping key, sequence entry or anchor.
Node Reader::parse_node_below(int parent_indent, Context context, Props props) {
    if (at_document_end())
        return empty(props);
    const int column = s_.column();
    if (column > parent_indent)
        return parse_node(parent_indent, context, true, props);
    if (context == Context::MappingValue && column == parent_indent && s_.at_block_entry())
        return parse_block_sequence(column, props, true);
    return empty(props);
}

Node Reader::parse_value(int parent_indent, Context context) {
    if (s_.rest_of_line_empty()) {
        next_token();
        return parse_node_below(parent_indent, context, {});
    }
    return parse_node(parent_indent, context, false, {});
}

bool Reader::continues_block(int column) {
    next_token();
    if (at_document_end())
        return false;
    if (s_.line() == s_.token_end_line())
        unsupported("more on the line of a block entry");
    const int next_column = s_.column();
    if (next_column > column)
        unsupported("a line indented into a block collection");
    return next_column == column;
}

Node Reader::parse_block_sequence(int column, Props props, bool indentless) {
    begin_collection(props);
    count_node();
    nb::list list;
    uint64_t size = 1;
    for (;;) {
        s_.advance(); // '-'
        Node entry = parse_value(column, Context::SequenceEntry);
        size = add_size(size, entry.size);
        if (PyList_Append(list.ptr(), entry.value.ptr()) != 0)
            throw nb::python_error();
        if (!continues_block(column))
            break;
        if (!s_.at_block_entry()) {
            if (indentless)
                break;
            unsupported("a sequence line without an entry");
        }
    }
    return complete_anchor(props, {std::move(list), size});
}

Key Reader::parse_explicit_key(int column) {
    s_.advance(); // '?'
    s_.skip_spaces();
    if (s_.rest_of_line_empty() || s_.at_block_entry() || s_.at_explicit_key())
        unsupported("an explicit key that is not a scalar on its line");
    Props own;
    if (at_props()) {
        own = scan_props();
        if (s_.rest_of_line_empty() || at_props())
            unsupported("properties of an explicit key on their own line");
    }
    Item item = scan_item(column + 1, false, own);
    if (item.kind == Item::Kind::Flow)
        unsupported("a collection as a mapping key");
    // a plain scalar's scan ends at the next token, maybe on a later line
    if (s_.line() == item.line && !s_.rest_of_line_empty())
        unsupported("more on the line of an explicit key");
    Key key = make_key(item, own);
    key.explicit_key = true;
    next_token();
    if (at_document_end() || s_.column() != column || !s_.at_value_indicator(false))
        unsupported("an explicit key without its value indicator");
    return key;
}

Key Reader::parse_next_key(int column) {
    if (s_.at_explicit_key())
        return parse_explicit_key(column);
    const char* start = s_.position();
    Props own;
    if (at_props()) {
        own = scan_props();
        if (s_.rest_of_line_empty() || at_props())
            unsupported("properties before a mapping key on their own line");
    }
    Item item = scan_item(column + 1, false, own);
    s_.skip_spaces();
    if (!is_key(item, start))
        unsupported("a mapping line without a simple key");
    return make_key(item, own);
}

Node Reader::parse_block_mapping(int column, Key first, Props props) {
    begin_collection(props);
    count_node();
    MappingBuilder mapping;
    Key key = std::move(first);
    for (;;) {
        s_.advance(); // ':'
        const bool compact = key.explicit_key && !s_.rest_of_line_empty();
        // after an explicit key, the value may be a block collection on this line
        Node value = compact ? parse_node(column, Context::MappingValue, true, {})
                             : parse_value(column, Context::MappingValue);
        mapping.add(std::move(key), std::move(value));
        if (!continues_block(column))
            break;
        key = parse_next_key(column);
    }
    return complete_anchor(props, mapping.finish());
}

Node Reader::parse_flow_node() {
    Props props;
    if (at_props()) {
        props = scan_props();
        const char next = s_.peek();
        if (next == ',' || next == ']' || next == '}' || at_props() || s_.rest_of_line_empty())
            unsupported("properties without their node on the line");
    }
    Item item = scan_item(0, true, props);
    return make_value(item, props);
}

bool Reader::separated(char closing) {
    if (s_.peek() == ',') {
        s_.advance();
        return true;
    }
    if (s_.peek() != closing)
        unsupported("a flow collection entry followed by neither ',' nor the collection's end");
    return false;
}

Node Reader::parse_flow_sequence(Props props) {
    DepthGuard guard(depth_);
    begin_collection(props);
    count_node();
    s_.advance(); // '['
    nb::list list;
    uint64_t size = 1;
    for (;;) {
        next_flow_token();
        if (s_.peek() == ']')
            break;
        Node entry = parse_flow_node();
        next_flow_token();
        if (s_.peek() == ':' || s_.peek() == '?')
            unsupported("a mapping inside a flow sequence");
        size = add_size(size, entry.size);
        if (PyList_Append(list.ptr(), entry.value.ptr()) != 0)
            throw nb::python_error();
        if (!separated(']'))
            break;
    }
    s_.advance(); // ']'
    s_.mark_token_end();
    return complete_anchor(props, {std::move(list), size});
}

Node Reader::parse_flow_mapping(Props props) {
    DepthGuard guard(depth_);
    begin_collection(props);
    count_node();
    s_.advance(); // '{'
    MappingBuilder mapping;
    for (;;) {
        next_flow_token();
        if (s_.peek() == '}')
            break;
        const char* start = s_.position();
        const size_t line = s_.line();
        Props own;
        if (at_props())
            own = scan_props();
        Item item = scan_item(0, true, own);
        Key key = make_key(item, own);
        next_flow_token();
        if (s_.peek() != ':' || s_.line() != line || s_.position() - start > max_key_length)
            unsupported("a flow mapping entry without a simple key");
        s_.advance(); // ':'
        next_flow_token();
        const char next = s_.peek();
        Node value = (next == ',' || next == '}') ? empty({}) : parse_flow_node();
        mapping.add(std::move(key), std::move(value));
        next_flow_token();
        if (!separated('}'))
            break;
    }
    s_.advance(); // '}'
    s_.mark_token_end();
    return complete_anchor(props, mapping.finish());
}

} // namespace

Document read_document(std::string_view source) {
    return Reader(source).read();
}

} // namespace quillon::yaml
