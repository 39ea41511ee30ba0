// Typed bindings over an XML DOM: one binding object wraps one element, keeps its document
// alive and converts attribute texts when they are read. Used for the configuration file and
// for the documents the gateway returns.
//
// Thread safety: once bound, a document may be read through any number of bindings on any
// number of threads at once without locks. Reading never changes the document (an absent child
// is a binding of a null node, not a created element). Writes (setters, collection changes)
// must not run alongside any other access to the same document.
#pragma once

#include <memory>
#include <pugixml.hpp>
#include <stdexcept>
#include <string>
#include <vector>

// A conversion of an attribute text to an integer or boolean failed.
class EVariantTypeCastError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Parsing, binding or collection index failures.
class EXMLError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The text is not well-formed XML; the message is the parser's.
class EXMLParseError : public EXMLError {
  public:
    using EXMLError::EXMLError;
};

// The root element is not the one the typed view expects: "Interface not supported".
class EXMLInterfaceError : public EXMLError {
  public:
    using EXMLError::EXMLError;
};

// A collection index outside 0..count-1.
class EXMLListError : public EXMLError {
  public:
    using EXMLError::EXMLError;
};

// An XML document: created from a text, parsed when it is first bound.
class TXMLDocument {
  public:
    explicit TXMLDocument(std::string Text);
    TXMLDocument(const TXMLDocument&) = delete;
    TXMLDocument& operator=(const TXMLDocument&) = delete;

    // Parses the text on the first call (throws EXMLParseError), then returns the document
    // element, creating it with RootName when the text was empty. Call before sharing.
    pugi::xml_node BindRoot(const std::string& RootName);
    // The document as XML text (the original text until it is parsed).
    std::string GetXML() const;

  private:
    void Parse();

    std::string Text_;
    bool Parsed_ = false;
    pugi::xml_document Dom_;
};

// A new document holding Text; nothing is parsed yet.
std::shared_ptr<TXMLDocument> NewXMLDocument(const std::string& Text);
// A new document holding the whole content of a file; throws EXMLError when it cannot be read.
std::shared_ptr<TXMLDocument> LoadXMLDocument(const std::string& FileName);

// The generic element interface every binding interface extends.
class IXMLNode {
  public:
    virtual ~IXMLNode() = default;
    // The element's name (also for an absent element, which has no DOM node).
    virtual std::string GetNodeName() const = 0;
    // False for an absent element, which reads as empty.
    virtual bool IsPresent() const = 0;
    virtual bool HasAttribute(const std::string& Name) const = 0;
    // The attribute text exactly as stored; "" when absent.
    virtual std::string GetAttribute(const std::string& Name) const = 0;
    virtual void SetAttribute(const std::string& Name, const std::string& Value) = 0;
    // The element as XML text; "" for an absent element.
    virtual std::string GetXML() const = 0;
};

// The generic collection interface: items are the children bearing the item element name.
class IXMLNodeCollection : public virtual IXMLNode {
  public:
    virtual int GetCount() const = 0;
    virtual std::shared_ptr<IXMLNode> GetNode(int Index) const = 0;
    virtual void Clear() = 0;
    virtual void Delete(int Index) = 0;
    virtual void Remove(const std::shared_ptr<IXMLNode>& Node) = 0;
};

class TXMLNode;

// What a binding is made of: the document, the element (null when absent), and for an absent
// element the parent binding and name under which a write creates it.
struct TXMLNodeRef {
    std::shared_ptr<TXMLDocument> Doc;
    pugi::xml_node Node;
    std::shared_ptr<TXMLNode> Parent;
    std::string Name;
};

class TXMLNode : public virtual IXMLNode, public std::enable_shared_from_this<TXMLNode> {
  public:
    explicit TXMLNode(TXMLNodeRef Ref);

    std::string GetNodeName() const override;
    bool IsPresent() const override;
    bool HasAttribute(const std::string& Name) const override;
    std::string GetAttribute(const std::string& Name) const override;
    void SetAttribute(const std::string& Name, const std::string& Value) override;
    std::string GetXML() const override;

    // The wrapped DOM element; null for an absent element.
    pugi::xml_node DOMNode() const { return Node_; }
    const std::shared_ptr<TXMLDocument>& Document() const { return Doc_; }

  protected:
    // Typed attribute reads; integer and boolean throw EVariantTypeCastError.
    std::string GetStringAttr(const char* Name) const;
    int GetIntegerAttr(const char* Name) const;
    bool GetBooleanAttr(const char* Name) const;
    void SetStringAttr(const char* Name, const std::string& Value);
    void SetIntegerAttr(const char* Name, int Value);
    void SetBooleanAttr(const char* Name, bool Value);

    // The first child element of that name, wrapped in T; an absent child gives a binding of
    // a null node that reads as empty.
    template <class T>
    std::shared_ptr<T> GetChild(const char* Name) const {
        pugi::xml_node child = Node_.child(Name);
        std::shared_ptr<TXMLNode> parent;
        if (!child) parent = std::const_pointer_cast<TXMLNode>(shared_from_this());
        return std::make_shared<T>(TXMLNodeRef{Doc_, child, std::move(parent), Name});
    }

    // Creates the element (and any absent ancestors) so that it can be written.
    pugi::xml_node Materialize();

  private:
    std::shared_ptr<TXMLDocument> Doc_;
    pugi::xml_node Node_;
    std::shared_ptr<TXMLNode> Parent_;
    std::string Name_;
};

// A collection element. The item list is taken when the binding is made and kept up to date by
// the changes made through this binding; take a fresh binding after changing the same element
// through another one.
class TXMLNodeCollection : public TXMLNode, public virtual IXMLNodeCollection {
  public:
    TXMLNodeCollection(TXMLNodeRef Ref, std::string ItemName);

    int GetCount() const override;
    std::shared_ptr<IXMLNode> GetNode(int Index) const override;
    void Clear() override;
    void Delete(int Index) override;
    void Remove(const std::shared_ptr<IXMLNode>& Node) override;

  protected:
    // Wraps one item element in the collection's item class.
    virtual std::shared_ptr<TXMLNode> CreateItem(TXMLNodeRef Ref) const = 0;

    // The reference of the item at Index; throws EXMLListError outside 0..count-1.
    TXMLNodeRef ItemRef(int Index) const;
    // Appends a new, empty item element; returns its reference.
    TXMLNodeRef AddItem();
    // Inserts a new, empty item element before the item at Index (Index == count appends).
    TXMLNodeRef InsertItem(int Index);

  private:
    void CheckIndex(int Index) const;

    std::string ItemName_;
    std::vector<pugi::xml_node> Items_;
};

// Binds the document's root: parses it if needed, creates the root of an empty text, and throws
// EXMLInterfaceError "Interface not supported" when the root has another name.
template <class T>
std::shared_ptr<T> GetDocBinding(const std::shared_ptr<TXMLDocument>& Doc,
                                 const std::string& RootName) {
    pugi::xml_node root = Doc->BindRoot(RootName);
    return std::make_shared<T>(TXMLNodeRef{Doc, root, nullptr, RootName});
}
