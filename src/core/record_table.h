// An ordered table of owned records with a hash index beside it.
//
// The unit's tables keep insertion order (oldest first), which lookups and
// timer jobs rely on. Lookups by the table's key go through the index instead
// of walking the table; each index bucket keeps its records in table order,
// so the first record of a bucket is the first match in table order.
#pragma once

#include <QHash>
#include <QList>

template <typename T, typename Key>
class RecordTable {
public:
    using KeyOf = Key (*)(const T *);

    explicit RecordTable(KeyOf keyOf) : keyOf(keyOf) {}
    RecordTable(const RecordTable &) = delete;
    RecordTable &operator=(const RecordTable &) = delete;

    int size() const { return static_cast<int>(items.size()); }
    bool isEmpty() const { return items.isEmpty(); }
    T *at(int i) const { return items.at(i); }
    const QList<T *> &all() const { return items; }

    void append(T *record)
    {
        items.append(record);
        index[keyOf(record)].append(record);
    }

    // Takes the record at position i out of the table; the caller frees it.
    T *takeAt(int i)
    {
        T *record = items.takeAt(i);
        unindex(record);
        return record;
    }

    // Takes the given record out of the table, if it is there.
    bool remove(T *record)
    {
        const qsizetype i = items.indexOf(record);
        if (i < 0)
            return false;
        takeAt(static_cast<int>(i));
        return true;
    }

    // Records whose key equals key, in table order; null when there are none.
    const QList<T *> *bucket(const Key &key) const
    {
        auto it = index.constFind(key);
        return it == index.constEnd() ? nullptr : &it.value();
    }

    T *first(const Key &key) const
    {
        const QList<T *> *b = bucket(key);
        return b ? b->first() : nullptr;
    }

    // Takes every record out; the caller frees them.
    QList<T *> takeAll()
    {
        QList<T *> out;
        out.swap(items);
        index.clear();
        return out;
    }

private:
    void unindex(T *record)
    {
        auto it = index.find(keyOf(record));
        if (it == index.end())
            return;
        it.value().removeOne(record);
        if (it.value().isEmpty())
            index.erase(it);
    }

    KeyOf keyOf;
    QList<T *> items;
    QHash<Key, QList<T *>> index;
};
