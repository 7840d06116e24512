#include "job_ledger.h"

#include <algorithm>
#include <cstdio>

namespace soak {

namespace {

constexpr char kStart[] = "^XA";
constexpr char kHeader[] = "^XA^FDjob ";
constexpr size_t kHeaderSize = sizeof(kHeader) - 1;
constexpr size_t kNumberDigits = 6;
constexpr char kEnd[] = "^FS^XZ\r\n";

// The job number a piece names, or -1.
int NumberOf(const std::string& piece) {
    if (piece.size() < kHeaderSize + kNumberDigits || piece.compare(0, kHeaderSize, kHeader) != 0) return -1;
    int number = 0;
    for (size_t i = 0; i < kNumberDigits; ++i) {
        const char c = piece[kHeaderSize + i];
        if (c < '0' || c > '9') return -1;
        number = number * 10 + (c - '0');
    }
    return number;
}

bool IsProperBeginning(const std::string& piece, const std::string& job) {
    return piece.size() < job.size() && job.compare(0, piece.size(), piece) == 0;
}

}  // namespace

std::string JobText(int number, size_t size, std::mt19937_64& random) {
    static constexpr char kFiller[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ,.";
    char head[32];
    std::snprintf(head, sizeof(head), "%s%06d ", kHeader, number);
    std::string text = head;
    const size_t frame = text.size() + sizeof(kEnd) - 1;
    std::uniform_int_distribution<size_t> pick(0, sizeof(kFiller) - 2);
    while (text.size() + sizeof(kEnd) - 1 < std::max(size, frame)) text += kFiller[pick(random)];
    return text + kEnd;
}

Arrivals Compare(const std::string& received, const std::vector<std::string>& jobs) {
    Arrivals arrivals{std::vector<int>(jobs.size()), std::vector<int>(jobs.size()), 0};
    // Pieces start at each "^XA"; what comes before the first is no job.
    std::vector<std::string> pieces;
    size_t at = received.find(kStart);
    arrivals.strayBytes += at == std::string::npos ? received.size() : at;
    while (at != std::string::npos) {
        const size_t next = received.find(kStart, at + 1);
        pieces.push_back(received.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    int last = -1;
    auto known = [&](int number) { return number >= 0 && static_cast<size_t>(number) < jobs.size(); };
    for (const std::string& piece : pieces) {
        int number = NumberOf(piece);
        if (number < 0) number = last + 1;
        if (!known(number)) {
            arrivals.strayBytes += piece.size();
            continue;
        }
        const std::string& job = jobs[static_cast<size_t>(number)];
        last = number;
        if (piece == job) {
            ++arrivals.whole[static_cast<size_t>(number)];
        } else if (IsProperBeginning(piece, job)) {
            ++arrivals.cut[static_cast<size_t>(number)];
        } else if (piece.compare(0, job.size(), job) == 0 && known(number + 1) &&
                   IsProperBeginning(piece.substr(job.size()), jobs[static_cast<size_t>(number) + 1])) {
            // A whole job followed by the first byte or two of the next, cut before its "^XA" was complete.
            ++arrivals.whole[static_cast<size_t>(number)];
            ++arrivals.cut[static_cast<size_t>(number) + 1];
            last = number + 1;
        } else {
            arrivals.strayBytes += piece.size();
        }
    }
    return arrivals;
}

}  // namespace soak
