// Walking typed bindings over a document from outside: every getter is called and its result
// recorded, the binding layer's own exceptions are expected, anything else is a failure. Shared
// by the targets for the configuration and the gateway documents.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/uXMLBinding.h"
#include "fuzz/FuzzSupport.h"

class TBindingWalk {
  public:
    // Everything read, in order: "name=value" or "name!message" for an expected failure.
    std::vector<std::string> Record;

    // The generic reads every element offers. An absent element reads as empty.
    void Node(const IXMLNode& N) {
        const std::string Name = Guard([&] { return N.GetNodeName(); });
        const std::string Xml = Guard([&] { return N.GetXML(); });
        if (!N.IsPresent()) FUZZ_CHECK(Xml.empty(), "an absent element has XML " + FuzzQuote(Xml));
        Record.push_back("<" + Name + (N.IsPresent() ? ">" : " absent>"));
    }

    // A string getter reads the attribute text as stored; an absent element reads "".
    void Str(const IXMLNode& N, const char* Attr, const std::function<std::string()>& Get) {
        const std::string Value = Guard(Get);
        FUZZ_CHECK(Value == N.GetAttribute(Attr), std::string(Attr) + " read " + FuzzQuote(Value) +
                                                      " but the attribute is " +
                                                      FuzzQuote(N.GetAttribute(Attr)));
        if (!N.IsPresent()) FUZZ_CHECK(Value.empty(), std::string(Attr) + " of an absent element");
        Record.push_back(std::string(Attr) + "=" + Value);
    }

    // An integer getter accepts exactly an optionally signed decimal in the int range, blanks
    // around it allowed, and fails with EVariantTypeCastError otherwise.
    void Int(const IXMLNode& N, const char* Attr, const std::function<int()>& Get) {
        const std::string Raw = N.GetAttribute(Attr);
        const std::optional<long long> Expected = Decimal(Raw, true);
        try {
            const int Value = Get();
            FUZZ_CHECK(Expected && *Expected == Value, std::string(Attr) + " " + FuzzQuote(Raw) +
                                                           " read as " + std::to_string(Value));
            Record.push_back(std::string(Attr) + "=" + std::to_string(Value));
        } catch (const EVariantTypeCastError& E) {
            FUZZ_CHECK(!Expected,
                       std::string(Attr) + " " + FuzzQuote(Raw) + " refused: " + E.what());
            Record.push_back(std::string(Attr) + "!" + E.what());
        } catch (...) {
            FUZZ_UNEXPECTED_EXCEPTION();
        }
    }

    // A boolean getter accepts true or false in any case, or a decimal (zero is false), blanks
    // around it allowed, and fails with EVariantTypeCastError otherwise.
    void Bool(const IXMLNode& N, const char* Attr, const std::function<bool()>& Get) {
        const std::string Raw = N.GetAttribute(Attr);
        const std::string Word = LowerCase(Trim(Raw));
        std::optional<bool> Expected;
        if (Word == "true") Expected = true;
        if (Word == "false") Expected = false;
        if (Decimal(Raw, false)) Expected = Word.find_first_not_of("+-0") != std::string::npos;
        try {
            const bool Value = Get();
            FUZZ_CHECK(Expected && *Expected == Value, std::string(Attr) + " " + FuzzQuote(Raw) +
                                                           " read as " +
                                                           (Value ? "true" : "false"));
            Record.push_back(std::string(Attr) + (Value ? "=true" : "=false"));
        } catch (const EVariantTypeCastError& E) {
            FUZZ_CHECK(!Expected,
                       std::string(Attr) + " " + FuzzQuote(Raw) + " refused: " + E.what());
            Record.push_back(std::string(Attr) + "!" + E.what());
        } catch (...) {
            FUZZ_UNEXPECTED_EXCEPTION();
        }
    }

    // Every item of a collection, then the indexes just outside it, which must fail with
    // EXMLListError.
    template <class TItem, class TCollection>
    void Items(const std::shared_ptr<TCollection>& C,
               const std::function<void(const std::shared_ptr<TItem>&)>& Walk) {
        Node(*C);
        const int Count = C->GetCount();
        FUZZ_CHECK(Count >= 0, "negative count");
        FUZZ_CHECK(C->IsPresent() || Count == 0, "an absent collection has items");
        Record.push_back("count=" + std::to_string(Count));
        for (int I = 0; I < Count; ++I) {
            std::shared_ptr<TItem> Item;
            std::string GenericName;
            try {
                Item = C->GetItem(I);
                GenericName = C->GetNode(I)->GetNodeName();
            } catch (...) {
                FUZZ_UNEXPECTED_EXCEPTION();
            }
            FUZZ_CHECK(Item && Item->IsPresent(), "item " + std::to_string(I) + " is absent");
            FUZZ_CHECK(GenericName == Item->GetNodeName(), "GetNode and GetItem differ");
            Walk(Item);
        }
        for (int Outside : {-1, Count}) {
            try {
                C->GetItem(Outside);
                FuzzFail(__FILE__, __LINE__,
                         "item " + std::to_string(Outside) + " of " + std::to_string(Count) +
                             " was returned");
            } catch (const EXMLListError&) {
            } catch (...) {
                FUZZ_UNEXPECTED_EXCEPTION();
            }
        }
    }

  private:
    // A read that may not fail at all.
    template <class F>
    std::string Guard(const F& Get) {
        try {
            return Get();
        } catch (...) {
            FUZZ_UNEXPECTED_EXCEPTION();
        }
    }

    static bool IsBlank(char C) { return static_cast<unsigned char>(C) <= 32; }

    static std::string Trim(const std::string& S) {
        size_t B = 0, E = S.size();
        while (B < E && IsBlank(S[B])) ++B;
        while (E > B && IsBlank(S[E - 1])) --E;
        return S.substr(B, E - B);
    }

    static std::string LowerCase(std::string S) {
        for (char& C : S)
            if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
        return S;
    }

    // The value of an optionally signed run of decimal digits between blanks; with InIntRange,
    // nothing outside the int range.
    static std::optional<long long> Decimal(const std::string& Raw, bool InIntRange) {
        const std::string S = Trim(Raw);
        size_t I = (!S.empty() && (S[0] == '+' || S[0] == '-')) ? 1 : 0;
        if (I == S.size()) return std::nullopt;
        long long Value = 0;
        for (size_t K = I; K < S.size(); ++K) {
            if (S[K] < '0' || S[K] > '9') return std::nullopt;
            if (Value <= 10'000'000'000LL) Value = Value * 10 + (S[K] - '0');
        }
        if (S[0] == '-') Value = -Value;
        if (InIntRange && (Value < INT32_MIN || Value > INT32_MAX)) return std::nullopt;
        return Value;
    }
};

// Reading must leave the document as it was, and reading it twice must give the same record.
inline void WalkTwice(const IXMLNode& Root, const std::function<void(TBindingWalk&)>& Walk) {
    const std::string Before = Root.GetXML();
    TBindingWalk First, Second;
    Walk(First);
    Walk(Second);
    FUZZ_CHECK(Root.GetXML() == Before, "reading changed the document");
    FUZZ_CHECK(First.Record == Second.Record, "a second reading gave other values");
}
