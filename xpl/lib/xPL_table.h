// xPL_table.h -- the one growable table of the library (internal).
//
// Every table of the library -- managed devices, timeout handlers, timers,
// the listener registries, services, groups, filters, configurable items
// and their values, name/value lists and the free stacks of the pools -- is
// an array with an in-use count and an allocated count.  Many of those three
// fields stand in public records (xPL_Service, xPL_NameValueList), so a
// Table does not hold them: it is a small view bound to them, made where it
// is needed and thrown away, and it keeps the rules in one place:
//
//  - an addition that finds the array full grows it by the table's step
//    with realloc; nothing is ever given back, except by release();
//  - removal takes one entry and moves the later ones down, keeping order;
//  - walking (dispatch) goes from the newest entry to the oldest over the
//    entries present when the walk starts.  An entry removed while a walk of
//    its table is in progress is only marked (the Marking policy says how),
//    passed over by every walk and find, and dropped when the outermost walk
//    of that table ends.  So a callback may add or remove anything: a
//    removed entry is never called, and none is called twice.
//
// A table may carry parallel arrays that share its counts (the event loop's
// poll array beside its handler records); they grow and move with it.
#ifndef XPL_TABLE_H
#define XPL_TABLE_H

#include <cstdlib>
#include <cstring>
#include <tuple>
#include <type_traits>

namespace xpl::internal {

// The Marking policy of a table that is never walked: its entries are
// always removed at once.
struct NoMarking {};

// A walk in progress.  Walks nest when a callback dispatches again, so they
// form a stack that lives on the call stack; a table is known by the address
// of its count, which never changes.
struct TableWalk {
  const int *table;
  bool removedDuring;
  TableWalk *outer;
};
inline TableWalk *activeTableWalks = nullptr;

template <typename Entry, typename Marking = NoMarking, typename... Parallel>
class Table {
  static_assert(std::is_trivially_copyable_v<Entry> &&
                    (std::is_trivially_copyable_v<Parallel> && ...),
                "entries move with realloc and memmove");
  static constexpr bool kMarkable = !std::is_same_v<Marking, NoMarking>;

 public:
  Table(Entry *&items, int &count, int &allocated, int growBy, Parallel *&...parallel)
      : items_(items), count_(count), allocated_(allocated), growBy_(growBy),
        parallel_(parallel...) {}

  // Entries in use, marked ones included.
  int count() const { return count_; }
  Entry &operator[](int index) const { return items_[index]; }

  // Entries in use that are not marked removed.
  int liveCount() const {
    if constexpr (kMarkable) {
      if (isWalked()) {
        int live = 0;
        for (int i = 0; i < count_; i++) live += Marking::isMarked(items_[i]) ? 0 : 1;
        return live;
      }
    }
    return count_;
  }

  // Appends a cleared entry (and cleared parallel entries) and returns it.
  Entry &append() {
    if (count_ == allocated_) grow();
    forEachParallel([&](auto *&column) { clearSlot(column, count_); });
    Entry &slot = items_[count_++];
    slot = Entry{};
    return slot;
  }

  // Index of the oldest unmarked entry that satisfies matches, or -1.
  template <typename Predicate>
  int find(Predicate matches) const {
    for (int i = 0; i < count_; i++) {
      if (!isMarked(i) && matches(items_[i])) return i;
    }
    return -1;
  }

  // Removes the entry at index, keeping the order of the rest; during a walk
  // of this table it is marked instead and dropped when the walk ends.
  void removeAt(int index) {
    if constexpr (kMarkable) {
      if (markIfWalked(index)) return;
    }
    eraseAt(index);
  }

  // The newest entry, taken out of the table (a free stack's pop).
  Entry takeLast() { return items_[--count_]; }

  // Forgets every entry; the array stays for reuse.
  void clear() { count_ = 0; }

  // Gives the array (and the parallel ones) back to the system allocator.
  void release() {
    free(items_);
    items_ = nullptr;
    forEachParallel([](auto *&column) {
      free(column);
      column = nullptr;
    });
    count_ = 0;
    allocated_ = 0;
  }

  // Calls visit(entry, index) from the newest entry to the oldest present
  // now, passing over marked ones, until visit returns false.  The entry is
  // a copy, since a callback that adds entries may move the array; the index
  // reaches the array (or a parallel one) afresh.
  template <typename Visit>
  void walkNewestFirst(Visit visit) {
    static_assert(kMarkable, "a walked table needs a Marking policy");
    TableWalk walk{&count_, false, activeTableWalks};
    activeTableWalks = &walk;
    for (int i = count_ - 1; i >= 0; i--) {
      // A table released by a callback has shrunk under the walk.
      if (i >= count_ || Marking::isMarked(items_[i])) continue;
      const Entry entry = items_[i];
      if (!visit(entry, i)) break;
    }
    activeTableWalks = walk.outer;
    if (walk.removedDuring && !isWalked()) compact();
  }

 private:
  template <typename Function>
  void forEachParallel(Function function) {
    if constexpr (sizeof...(Parallel) > 0) {
      std::apply([&](auto *&...column) { (function(column), ...); }, parallel_);
    }
  }
  template <typename Column>
  static void resize(Column *&column, int size) {
    column = static_cast<Column *>(realloc(static_cast<void *>(column),
                                           sizeof(Column) * static_cast<size_t>(size)));
  }
  template <typename Column>
  static void clearSlot(Column *column, int index) {
    column[index] = Column{};
  }
  template <typename Column>
  static void closeGap(Column *column, int index, int count) {
    memmove(static_cast<void *>(&column[index]), static_cast<const void *>(&column[index + 1]),
            sizeof(Column) * static_cast<size_t>(count - index - 1));
  }

  void grow() {
    allocated_ += growBy_;
    resize(items_, allocated_);
    forEachParallel([&](auto *&column) { resize(column, allocated_); });
  }

  void eraseAt(int index) {
    closeGap(items_, index, count_);
    forEachParallel([&](auto *&column) { closeGap(column, index, count_); });
    count_--;
  }

  bool isMarked(int index) const {
    if constexpr (kMarkable) {
      return Marking::isMarked(items_[index]);
    } else {
      (void)index;
      return false;
    }
  }

  bool isWalked() const {
    for (const TableWalk *walk = activeTableWalks; walk != nullptr; walk = walk->outer) {
      if (walk->table == &count_) return true;
    }
    return false;
  }

  // Marks the entry when a walk of this table is in progress, and tells
  // every such walk, so that the outermost one compacts the table.
  bool markIfWalked(int index) {
    bool walked = false;
    for (TableWalk *walk = activeTableWalks; walk != nullptr; walk = walk->outer) {
      if (walk->table != &count_) continue;
      walk->removedDuring = true;
      walked = true;
    }
    if (walked) Marking::mark(items_[index]);
    return walked;
  }

  void compact() {
    for (int i = count_ - 1; i >= 0; i--) {
      if (Marking::isMarked(items_[i])) eraseAt(i);
    }
  }

  Entry *&items_;
  int &count_;
  int &allocated_;
  int growBy_;
  std::tuple<Parallel *&...> parallel_;
};

// The Marking policy of callback tables: a removed entry loses its callback
// (no registration ever has none, since it would be called).
template <auto Callback>
struct ClearedCallback {
  template <typename Entry>
  static bool isMarked(const Entry &entry) {
    return entry.*Callback == nullptr;
  }
  template <typename Entry>
  static void mark(Entry &entry) {
    entry.*Callback = nullptr;
  }
};

// The Marking policy of tables of record pointers.
template <typename Pointer>
struct NullPointer {
  static bool isMarked(Pointer entry) { return entry == nullptr; }
  static void mark(Pointer &entry) { entry = nullptr; }
};

}  // namespace xpl::internal

#endif  // XPL_TABLE_H
