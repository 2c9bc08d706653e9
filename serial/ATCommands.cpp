// The AT command list: ordered entries owned by the list, IDs given in order of creation.
#include "ATCommands.h"

int TATCommandItem::Index() const {
    return FCollection ? FCollection->IndexOf(this) : -1;
}

TATCommandItem* TATCommands::Add() {
    FItems.push_back(std::make_unique<TATCommandItem>(this, FNextID++));
    return FItems.back().get();
}

TATCommandItem* TATCommands::Insert(int Index) {
    if (Index < 0 || Index > Count())
        return nullptr;
    auto it = FItems.insert(FItems.begin() + Index, std::make_unique<TATCommandItem>(this, FNextID++));
    return it->get();
}

TATCommandItem* TATCommands::Items(int Index) const {
    if (Index < 0 || Index >= Count())
        return nullptr;
    return FItems[std::size_t(Index)].get();
}

bool TATCommands::SetItems(int Index, const TATCommandItem& source) {
    TATCommandItem* item = Items(Index);
    if (!item)
        return false;
    item->Assign(source);
    return true;
}

void TATCommands::Delete(int Index) {
    if (Index >= 0 && Index < Count())
        FItems.erase(FItems.begin() + Index);
}

void TATCommands::Assign(const TATCommands& source) {
    if (&source == this)
        return;
    Clear();
    for (const auto& item : source.FItems)
        Add()->Assign(*item);
}

int TATCommands::IndexOf(const TATCommandItem* item) const {
    for (std::size_t i = 0; i < FItems.size(); ++i)
        if (FItems[i].get() == item)
            return int(i);
    return -1;
}
