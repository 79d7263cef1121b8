#pragma once

// An ordered list of untyped pointers, as the roster fills it: each item of
// an application list is a process id stored in the pointer itself.

#include "SupportDefs.h"

#include <cstddef>
#include <vector>

class BList {
public:
    explicit BList(int32 initialCapacity = 20) { fItems.reserve(initialCapacity > 0 ? initialCapacity : 0); }

    bool AddItem(void* item)
    {
        fItems.push_back(item);
        return true;
    }
    // nullptr when `index` is out of range.
    void* ItemAt(int32 index) const
    {
        return index >= 0 && static_cast<size_t>(index) < fItems.size() ? fItems[index] : nullptr;
    }
    int32 CountItems() const { return static_cast<int32>(fItems.size()); }
    bool IsEmpty() const { return fItems.empty(); }
    void MakeEmpty() { fItems.clear(); }

private:
    std::vector<void*> fItems;
};
