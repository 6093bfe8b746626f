#include "terminal/serial_ports.h"

#include <algorithm>
#include <cstdio>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The end of the run of digits that starts at begin.
std::size_t DigitsEnd(const std::string &text, std::size_t begin) {
    std::size_t end = begin;
    while (end < text.size() && IsDigit(text[end])) {
        end++;
    }
    return end;
}

// The first digit of a run that is not a leading zero (the run's end when
// all are zeros).
std::size_t SkipZeros(const std::string &text, std::size_t begin, std::size_t end) {
    while (begin < end && text[begin] == '0') {
        begin++;
    }
    return begin;
}

// Compares two runs of digits by value, of any length: negative, 0 or
// positive.
int CompareNumbers(const std::string &a, std::size_t aBegin, std::size_t aEnd,
                   const std::string &b, std::size_t bBegin, std::size_t bEnd) {
    std::size_t aFirst = SkipZeros(a, aBegin, aEnd);
    std::size_t bFirst = SkipZeros(b, bBegin, bEnd);
    std::size_t aLength = aEnd - aFirst;
    std::size_t bLength = bEnd - bFirst;
    if (aLength != bLength) return aLength < bLength ? -1 : 1;
    return a.compare(aFirst, aLength, b, bFirst, bLength);
}

// Negative, 0 or positive, as a comes before, beside or after b in natural order.
int CompareNatural(const std::string &a, const std::string &b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            std::size_t aEnd = DigitsEnd(a, i);
            std::size_t bEnd = DigitsEnd(b, j);
            int numbers = CompareNumbers(a, i, aEnd, b, j, bEnd);
            if (numbers != 0) return numbers;
            i = aEnd;
            j = bEnd;
            continue;
        }
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[j]);
        if (x != y) return x < y ? -1 : 1;
        i++;
        j++;
    }
    bool aLeft = i < a.size();
    bool bLeft = j < b.size();
    if (aLeft == bLeft) return 0;
    return aLeft ? 1 : -1;
}

bool ComesFirst(const SerialPort &a, const SerialPort &b) {
    bool aNamed = !a.adapter.empty();
    bool bNamed = !b.adapter.empty();
    if (aNamed != bNamed) return aNamed;
    if (a.name != b.name) return NaturalLess(a.name, b.name);
    return a.adapter < b.adapter;
}

}  // namespace

bool NaturalLess(const std::string &a, const std::string &b) {
    int natural = CompareNatural(a, b);
    if (natural != 0) return natural < 0;
    return a < b;
}

std::string SerialPortsLine(std::vector<SerialPort> ports) {
    std::string line = "Serial ports: ";
    if (ports.empty()) return line + "none found\n";
    std::sort(ports.begin(), ports.end(), ComesFirst);
    const char *separator = "";
    for (const SerialPort &port : ports) {
        line += separator;
        line += port.name;
        if (!port.adapter.empty()) {
            line += " (" + port.adapter + ")";
        }
        separator = ", ";
    }
    return line + "\n";
}

void PrintSerialPorts() {
    std::string line = SerialPortsLine(ListSerialPorts());
    std::printf("%s", line.c_str());
    std::fflush(stdout);
}
