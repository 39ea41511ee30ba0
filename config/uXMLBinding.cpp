#include "config/uXMLBinding.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/Files.h"

namespace {

const char kNullType[] = "Null";
const char kStringType[] = "String";

[[noreturn]] void ThrowCastError(const char* From, const char* To) {
    throw EVariantTypeCastError(std::string("Could not convert variant of type (") + From +
                                ") into type (" + To + ")");
}

bool IsBlank(char C) { return static_cast<unsigned char>(C) <= 32; }

// The text without leading and trailing characters of code 32 or less.
std::string Trimmed(const char* Text) {
    std::string s(Text);
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// Optional sign and at least one decimal digit, nothing else.
bool IsDecimal(const std::string& S) {
    size_t i = (!S.empty() && (S[0] == '+' || S[0] == '-')) ? 1 : 0;
    if (i == S.size()) return false;
    for (; i < S.size(); ++i)
        if (S[i] < '0' || S[i] > '9') return false;
    return true;
}

bool EqualsIgnoreCase(const std::string& A, const char* B) {
    size_t n = std::strlen(B);
    if (A.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char a = A[i], b = B[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// Line and column (both from 1) of a byte offset in Text.
std::string Position(const std::string& Text, ptrdiff_t Offset) {
    size_t end = Offset < 0 ? 0 : std::min(static_cast<size_t>(Offset), Text.size());
    size_t line = 1, column = 1;
    for (size_t i = 0; i < end; ++i) {
        if (Text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return " (line " + std::to_string(line) + ", column " + std::to_string(column) + ")";
}

bool IsAllBlank(const std::string& S) {
    for (char c : S)
        if (!IsBlank(c)) return false;
    return true;
}

}  // namespace

// ---- TXMLDocument ----

TXMLDocument::TXMLDocument(std::string Text) : Text_(std::move(Text)) {}

void TXMLDocument::Parse() {
    // Default options: no DTD processing and no entity expansion beyond the predefined ones.
    // As a fragment the parser keeps text outside the root, so the checks below can refuse it
    // (and a second root) instead of silently dropping content.
    pugi::xml_parse_result r =
        Dom_.load_buffer(Text_.data(), Text_.size(), pugi::parse_default | pugi::parse_fragment);
    if (!r) throw EXMLParseError(r.description() + Position(Text_, r.offset));
    bool seenRoot = false;
    for (pugi::xml_node n : Dom_.children()) {
        if (n.type() == pugi::node_element) {
            if (seenRoot)
                throw EXMLParseError("Only one top level element is allowed" +
                                     Position(Text_, n.offset_debug()));
            seenRoot = true;
        } else if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) {
            throw EXMLParseError("Text is not allowed outside the document element" +
                                 Position(Text_, n.offset_debug()));
        }
    }
    // Only an empty (or blank) text may lack a root; binding then creates it.
    if (!seenRoot && !IsAllBlank(Text_))
        throw EXMLParseError("No document element found" +
                             Position(Text_, static_cast<ptrdiff_t>(Text_.size())));
    Parsed_ = true;
    Text_.clear();
    Text_.shrink_to_fit();
}

pugi::xml_node TXMLDocument::BindRoot(const std::string& RootName) {
    if (!Parsed_) Parse();
    pugi::xml_node root = Dom_.document_element();
    if (!root) root = Dom_.append_child(RootName.c_str());
    if (RootName != root.name()) throw EXMLInterfaceError("Interface not supported");
    return root;
}

std::string TXMLDocument::GetXML() const {
    if (!Parsed_) return Text_;
    std::ostringstream out;
    Dom_.save(out, "  ");
    return out.str();
}

std::shared_ptr<TXMLDocument> NewXMLDocument(const std::string& Text) {
    return std::make_shared<TXMLDocument>(Text);
}

std::shared_ptr<TXMLDocument> LoadXMLDocument(const std::string& FileName) {
    try {
        // The configuration is the operator's, not a share's: a link to it is followed.
        return std::make_shared<TXMLDocument>(ReadOwnFileText(FileName));
    } catch (const EFileError& E) {
        throw EXMLError(E.what());
    }
}

// ---- TXMLNode ----

TXMLNode::TXMLNode(TXMLNodeRef Ref)
    : Doc_(std::move(Ref.Doc)),
      Node_(Ref.Node),
      Parent_(Ref.Node ? nullptr : std::move(Ref.Parent)),
      Name_(Ref.Node ? std::string() : std::move(Ref.Name)) {}

std::string TXMLNode::GetNodeName() const { return Node_ ? Node_.name() : Name_; }

bool TXMLNode::IsPresent() const { return static_cast<bool>(Node_); }

bool TXMLNode::HasAttribute(const std::string& Name) const {
    return static_cast<bool>(Node_.attribute(Name.c_str()));
}

std::string TXMLNode::GetAttribute(const std::string& Name) const {
    return GetStringAttr(Name.c_str());
}

void TXMLNode::SetAttribute(const std::string& Name, const std::string& Value) {
    SetStringAttr(Name.c_str(), Value);
}

std::string TXMLNode::GetXML() const {
    if (!Node_) return "";
    std::ostringstream out;
    Node_.print(out, "", pugi::format_raw);
    return out.str();
}

std::string TXMLNode::GetStringAttr(const char* Name) const {
    // A null node or attribute gives "" and touches nothing.
    return Node_.attribute(Name).value();
}

int TXMLNode::GetIntegerAttr(const char* Name) const {
    const char* raw = Node_.attribute(Name).value();
    if (*raw == '\0') ThrowCastError(kNullType, "Integer");
    std::string s = Trimmed(raw);
    if (!IsDecimal(s)) ThrowCastError(kStringType, "Integer");
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) ThrowCastError(kStringType, "Integer");
    return static_cast<int>(v);
}

bool TXMLNode::GetBooleanAttr(const char* Name) const {
    const char* raw = Node_.attribute(Name).value();
    if (*raw == '\0') ThrowCastError(kNullType, "Boolean");
    std::string s = Trimmed(raw);
    if (EqualsIgnoreCase(s, "true")) return true;
    if (EqualsIgnoreCase(s, "false")) return false;
    if (!IsDecimal(s)) ThrowCastError(kStringType, "Boolean");
    // A number of any length: zero is false, anything else true.
    return s.find_first_not_of("+-0") != std::string::npos;
}

void TXMLNode::SetStringAttr(const char* Name, const std::string& Value) {
    pugi::xml_node node = Materialize();
    pugi::xml_attribute a = node.attribute(Name);
    if (!a) a = node.append_attribute(Name);
    a.set_value(Value.c_str());
}

void TXMLNode::SetIntegerAttr(const char* Name, int Value) {
    SetStringAttr(Name, std::to_string(Value));
}

void TXMLNode::SetBooleanAttr(const char* Name, bool Value) {
    SetStringAttr(Name, Value ? "true" : "false");
}

pugi::xml_node TXMLNode::Materialize() {
    if (Node_) return Node_;
    if (!Parent_) throw EXMLError("Element \"" + Name_ + "\" has no parent to be created in");
    pugi::xml_node parent = Parent_->Materialize();
    // Another binding of the same absent child may have created it meanwhile.
    Node_ = parent.child(Name_.c_str());
    if (!Node_) Node_ = parent.append_child(Name_.c_str());
    Parent_.reset();
    return Node_;
}

// ---- TXMLNodeCollection ----

TXMLNodeCollection::TXMLNodeCollection(TXMLNodeRef Ref, std::string ItemName)
    : TXMLNode(std::move(Ref)), ItemName_(std::move(ItemName)) {
    for (pugi::xml_node n : DOMNode().children(ItemName_.c_str())) Items_.push_back(n);
}

int TXMLNodeCollection::GetCount() const { return static_cast<int>(Items_.size()); }

void TXMLNodeCollection::CheckIndex(int Index) const {
    if (Index < 0 || Index >= GetCount())
        throw EXMLListError("List index out of bounds (" + std::to_string(Index) + ")");
}

TXMLNodeRef TXMLNodeCollection::ItemRef(int Index) const {
    CheckIndex(Index);
    return TXMLNodeRef{Document(), Items_[static_cast<size_t>(Index)], nullptr, ItemName_};
}

std::shared_ptr<IXMLNode> TXMLNodeCollection::GetNode(int Index) const {
    return CreateItem(ItemRef(Index));
}

void TXMLNodeCollection::Clear() {
    for (pugi::xml_node n : Items_) n.parent().remove_child(n);
    Items_.clear();
}

void TXMLNodeCollection::Delete(int Index) {
    CheckIndex(Index);
    pugi::xml_node n = Items_[static_cast<size_t>(Index)];
    n.parent().remove_child(n);
    Items_.erase(Items_.begin() + Index);
}

void TXMLNodeCollection::Remove(const std::shared_ptr<IXMLNode>& Node) {
    auto binding = std::dynamic_pointer_cast<TXMLNode>(Node);
    if (!binding) return;
    for (size_t i = 0; i < Items_.size(); ++i) {
        if (Items_[i] == binding->DOMNode()) {
            Delete(static_cast<int>(i));
            return;
        }
    }
}

TXMLNodeRef TXMLNodeCollection::AddItem() {
    pugi::xml_node parent = Materialize();
    pugi::xml_node n = Items_.empty() ? parent.append_child(ItemName_.c_str())
                                      : parent.insert_child_after(ItemName_.c_str(), Items_.back());
    Items_.push_back(n);
    return TXMLNodeRef{Document(), n, nullptr, ItemName_};
}

TXMLNodeRef TXMLNodeCollection::InsertItem(int Index) {
    if (Index == GetCount()) return AddItem();
    CheckIndex(Index);
    pugi::xml_node parent = Materialize();
    pugi::xml_node n =
        parent.insert_child_before(ItemName_.c_str(), Items_[static_cast<size_t>(Index)]);
    Items_.insert(Items_.begin() + Index, n);
    return TXMLNodeRef{Document(), n, nullptr, ItemName_};
}
