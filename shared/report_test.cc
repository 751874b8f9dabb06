// Reports name the program at the start of every line, however they are written.
#include "report.h"

#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

TEST(ReportStream, EveryLineStartsWithTheName) {
    char *text = nullptr;
    size_t size = 0;
    FILE *to = open_memstream(&text, &size);
    FILE *r = report_stream(to, "prog");
    ASSERT_NE(nullptr, r);
    fprintf(r, "one\ntwo");
    fprintf(r, " halves\n");
    fputs("\nlast\n", r);
    fclose(to);
    EXPECT_EQ("prog: one\nprog: two halves\nprog: \nprog: last\n", std::string(text, size));
    free(text);
}
