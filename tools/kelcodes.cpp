// Prints every command code with its direction, meaning and fields, as the table in README.md.
#include "CodeTable.h"

#include <cstdio>

int main() {
    std::fputs(KEL::Host::codeTableMarkdown().c_str(), stdout);
    return 0;
}
