#include "ConflictPatternModule.h"

#include <boost/regex.hpp>

#include <cstddef>
#include <iterator>
#include <string>
#include <stdexcept>

namespace {

// Boost.Regex's own limit on the states a match may visit grows with the square
// of the pattern's length: a long pattern of nested repetitions runs for seconds
// before it throws. Every step the matcher takes over the name goes through this
// iterator, which throws once a budget shared by one whole check is spent.
class BudgetExhausted : public std::runtime_error {
public:
    BudgetExhausted() : std::runtime_error("pattern matching budget spent") {}
};

class BudgetedIterator {
public:
    typedef std::random_access_iterator_tag iterator_category;
    typedef char value_type;
    typedef std::ptrdiff_t difference_type;
    typedef const char* pointer;
    typedef const char& reference;

    BudgetedIterator() : mAt(nullptr), mBudget(nullptr) {}
    BudgetedIterator(const char* at, long* budget) : mAt(at), mBudget(budget) {}

    reference operator*() const {
        Spend();
        return *mAt;
    }
    reference operator[](difference_type n) const {
        Spend();
        return mAt[n];
    }
    BudgetedIterator& operator++() {
        Spend();
        ++mAt;
        return *this;
    }
    BudgetedIterator operator++(int) {
        BudgetedIterator before(*this);
        ++*this;
        return before;
    }
    BudgetedIterator& operator--() {
        Spend();
        --mAt;
        return *this;
    }
    BudgetedIterator operator--(int) {
        BudgetedIterator before(*this);
        --*this;
        return before;
    }
    BudgetedIterator& operator+=(difference_type n) {
        Spend();
        mAt += n;
        return *this;
    }
    BudgetedIterator& operator-=(difference_type n) {
        Spend();
        mAt -= n;
        return *this;
    }
    BudgetedIterator operator+(difference_type n) const { return BudgetedIterator(*this) += n; }
    BudgetedIterator operator-(difference_type n) const { return BudgetedIterator(*this) -= n; }
    difference_type operator-(const BudgetedIterator& other) const { return mAt - other.mAt; }
    bool operator==(const BudgetedIterator& other) const { return mAt == other.mAt; }
    bool operator!=(const BudgetedIterator& other) const { return mAt != other.mAt; }
    bool operator<(const BudgetedIterator& other) const { return mAt < other.mAt; }
    bool operator>(const BudgetedIterator& other) const { return mAt > other.mAt; }
    bool operator<=(const BudgetedIterator& other) const { return mAt <= other.mAt; }
    bool operator>=(const BudgetedIterator& other) const { return mAt >= other.mAt; }

private:
    void Spend() const {
        if (mBudget != nullptr && --*mBudget < 0) throw BudgetExhausted();
    }
    const char* mAt;
    long* mBudget;
};

}  // namespace

extern "C" {

void* ConflictPatternCompile(const char* name, size_t length) {
    try {
        return new boost::regex(std::string(name, length) + ".*", boost::regex::perl);
    } catch (...) {
        return nullptr;
    }
}

int ConflictPatternMatch(const void* pattern, const char* executable, size_t length, long* budget) {
    try {
        const BudgetedIterator first(executable, budget);
        const BudgetedIterator last(executable + length, budget);
        boost::match_results<BudgetedIterator> match;
        return boost::regex_match(first, last, match, *static_cast<const boost::regex*>(pattern)) ? 1 : 0;
    } catch (...) {
        return -1;
    }
}

void ConflictPatternFree(void* pattern) { delete static_cast<boost::regex*>(pattern); }

}  // extern "C"
