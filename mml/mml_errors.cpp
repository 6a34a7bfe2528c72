#include "mml_errors.h"

#include <algorithm>
#include <tuple>

bool MmlErrors::before(const Found& a, const Found& b)
{
    return std::tie(a.error.line, a.error.column, a.order) < std::tie(b.error.line, b.error.column, b.order);
}

void MmlErrors::add(std::size_t line, std::size_t column, std::string message)
{
    for (const Found& found : kept_) {
        if (found.error.line == line && found.error.column == column && found.error.message == message) {
            return;
        }
    }
    Found found{{line, column, std::move(message)}, count_};
    ++count_;
    if (kept_.size() < kMaxReportedErrors) {
        kept_.push_back(std::move(found));
        std::push_heap(kept_.begin(), kept_.end(), before);
    } else if (before(found, kept_.front())) {
        std::pop_heap(kept_.begin(), kept_.end(), before);
        kept_.back() = std::move(found);
        std::push_heap(kept_.begin(), kept_.end(), before);
    }
}

std::vector<TextError> MmlErrors::shown() const
{
    std::vector<Found> sorted = kept_;
    std::sort(sorted.begin(), sorted.end(), before);
    std::vector<TextError> errors;
    errors.reserve(sorted.size());
    for (Found& found : sorted) {
        errors.push_back(std::move(found.error));
    }
    return errors;
}
