#pragma once

#include "song_assembler.h"

#include <cstddef>
#include <string>
#include <vector>

// The errors found in an MML text: the first kMaxReportedErrors of them by
// place (line, then column, then the order found) and how many were found
// in all, so that a text of millions of bad lines costs no more memory than
// a text of a hundred. An error found again at the same place with the same
// words (a phrase read twice) while the first is shown is not counted again.
class MmlErrors {
public:
    void add(std::size_t line, std::size_t column, std::string message);

    bool empty() const { return count_ == 0; }
    std::size_t count() const { return count_; }  // every one, shown or not

    // The first of them, in order of their places.
    std::vector<TextError> shown() const;

private:
    struct Found {
        TextError error;
        std::size_t order;  // how many were found before it
    };
    static bool before(const Found& a, const Found& b);

    std::vector<Found> kept_;  // a heap: the last of the kept ones on top
    std::size_t count_ = 0;
};
