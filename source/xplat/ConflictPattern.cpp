#include "ConflictPattern.h"

#include <cstddef>
#include <iterator>
#include <stdexcept>

#include "MOQLogger.h"

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

namespace ConflictPattern {

Matcher::Matcher(const std::string& name, long& budget) : mName(name), mLiteral(false), mBudget(budget) {
    try {
        mPattern = boost::regex(name + ".*", boost::regex::perl);
    } catch (const std::exception&) {
        TakeLiterally("is not a valid pattern");
    }
}

bool Matcher::Matches(const std::string& executable) {
    if (!mLiteral && mBudget <= 0) TakeLiterally("comes after the matching budget was spent");
    if (!mLiteral) {
        try {
            const BudgetedIterator first(executable.data(), &mBudget);
            const BudgetedIterator last(executable.data() + executable.size(), &mBudget);
            boost::match_results<BudgetedIterator> match;
            return boost::regex_match(first, last, match, mPattern);
        } catch (const std::exception&) {
            TakeLiterally("cannot be matched within the bound");
        }
    }
    return executable.compare(0, mName.size(), mName) == 0;
}

void Matcher::TakeLiterally(const char* why) {
    mLiteral = true;
    MOQ_LOG("Conflicting process name %s %s, matching it literally\n", mName.c_str(), why);
}

bool Compiles(const std::string& processName) {
    try {
        boost::regex(processName + ".*", boost::regex::perl);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace ConflictPattern
