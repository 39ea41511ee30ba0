#include "support/uVexoRecipients.h"

#include <stdexcept>

int32_t TVexoRecipients::Add(uint8_t Kind, std::unique_ptr<TVexoRecipient> Recipient) {
    if (!Recipient) throw std::runtime_error("Cannot add a missing recipient");
    int32_t position = Count();
    Recipient->Index = position;
    Recipient->Kind = Kind;
    List.push_back(std::move(Recipient));
    return position;
}

TVexoRecipient& TVexoRecipients::Items(int32_t I) const {
    if (I < 0 || I >= Count())
        throw std::runtime_error("List index out of bounds (" + std::to_string(I) + ")");
    return *List[static_cast<size_t>(I)];
}
