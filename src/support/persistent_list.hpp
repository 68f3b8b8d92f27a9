// An append-only list whose copies share their common past: a copy costs
// one reference, and appending to one copy never changes another. Stepper
// histories grow by one entry per finished transition and are copied by every
// clone, so a vector there made each token cost as much as all before it.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace zel {

template <typename T> class PersistentList {
public:
    // One entry and the list it was appended to. Cells are immutable once
    // published; only `earlier` is released by hand (see release_chain).
    struct Cell {
        Cell(T value, std::shared_ptr<Cell> earlier, size_t size)
            : value(std::move(value)), earlier(std::move(earlier)), size(size) {}
        T value;
        std::shared_ptr<Cell> earlier;
        size_t size;
    };

    PersistentList() = default;
    PersistentList(const PersistentList &) = default;
    PersistentList(PersistentList &&other) noexcept : last_(std::move(other.last_)) {}
    PersistentList &operator=(const PersistentList &other) {
        std::shared_ptr<Cell> dropped = std::exchange(last_, other.last_);
        release_chain(std::move(dropped));
        return *this;
    }
    PersistentList &operator=(PersistentList &&other) noexcept {
        std::shared_ptr<Cell> dropped = std::exchange(last_, std::move(other.last_));
        release_chain(std::move(dropped));
        return *this;
    }
    ~PersistentList() { release_chain(std::move(last_)); }

    explicit PersistentList(const std::vector<T> &values) {
        for (const T &value : values)
            push_back(value);
    }

    bool empty() const { return !last_; }
    size_t size() const { return last_ ? last_->size : 0; }
    const T &back() const { return last_->value; }

    void push_back(T value) {
        size_t size = this->size() + 1;
        last_ = std::make_shared<Cell>(std::move(value), std::move(last_), size);
    }

    // Replaces the last entry; copies that shared it keep theirs.
    void replace_back(T value) {
        std::shared_ptr<Cell> earlier = last_->earlier;
        size_t size = last_->size;
        *this = PersistentList();
        last_ = std::make_shared<Cell>(std::move(value), std::move(earlier), size);
    }

    void clear() { *this = PersistentList(); }

    // Empties the list, handing release(value) each entry that no other list
    // shares before its cell goes (so a caller can defer deep destructions).
    template <typename Release> void clear_with(Release &&release) {
        drain(std::move(last_), release);
    }

    // The entries, oldest first.
    std::vector<T> to_vector() const {
        std::vector<T> values(size());
        size_t i = values.size();
        for (const Cell *cell = last_.get(); cell; cell = cell->earlier.get())
            values[--i] = cell->value;
        return values;
    }

    // The newest cell, for walks that must know which cells are shared.
    const std::shared_ptr<Cell> &last_cell() const { return last_; }

private:
    // Drops a chain one cell at a time: the default recursive destruction
    // would need one stack frame per entry of a list that no one shares.
    static void release_chain(std::shared_ptr<Cell> cell) {
        drain(std::move(cell), [](T &) {});
    }

    template <typename Release> static void drain(std::shared_ptr<Cell> cell, Release &&release) {
        while (cell && cell.use_count() == 1) {
            release(cell->value);
            std::shared_ptr<Cell> earlier = std::move(cell->earlier);
            cell.reset();
            cell = std::move(earlier);
        }
    }

    std::shared_ptr<Cell> last_;
};

} // namespace zel
