#include "support/uVexoMessages.h"

#include <stdexcept>

TVexoMessage& TVexoMessages::Add() {
    List.push_back(std::make_unique<TVexoMessage>(this));
    return *List.back();
}

TVexoMessage& TVexoMessages::Items(int32_t I) const {
    if (I < 0 || I >= Count())
        throw std::runtime_error("List index out of bounds (" + std::to_string(I) + ")");
    return *List[static_cast<size_t>(I)];
}

int32_t TVexoMessages::RecipientCount() const {
    int32_t total = 0;
    for (const auto& message : List) total += message->Recipients.Count();
    return total;
}
