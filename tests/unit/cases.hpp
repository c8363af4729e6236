// Reads the case tables in tests/cases, which the unit tests share with the process suite:
// one case a line, fields separated by tabs, "\xHH" for the byte HH and "\\" for a backslash;
// empty lines and lines that begin with '#' are passed over.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using case_row = std::vector<std::string>;

inline std::string unescape_field(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); i++) {
        if (field[i] == '\\' && i + 1 < field.size() && field[i + 1] == '\\') {
            out += '\\';
            i++;
        } else if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(field.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// The rows of tests/cases/<name>; a table that cannot be read fails the test.
inline std::vector<case_row> read_cases(const std::string& name) {
    std::ifstream in(std::string(PENTRA_CASES_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.is_open()) << "cannot read tests/cases/" << name;
    std::vector<case_row> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        case_row row;
        size_t start = 0;
        for (;;) {
            size_t tab = line.find('\t', start);
            row.push_back(unescape_field(line.substr(start, tab - start)));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        rows.push_back(row);
    }
    EXPECT_FALSE(rows.empty()) << "tests/cases/" << name << " holds no case";
    return rows;
}

// A row as one line for failure messages, its fields joined by " | ".
inline std::string describe(const case_row& row) {
    std::string text;
    for (size_t i = 0; i < row.size(); i++)
        text += (i > 0 ? " | " : "") + row[i];
    return text;
}
