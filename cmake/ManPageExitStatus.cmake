# Run with -P on a page help2man made (PAGE): a --help that ends with
# "Exit status:" and its list gives a subsection at the end of OPTIONS;
# made a section of its own, it is the EXIT STATUS that man readers look for,
# in its usual place, right after OPTIONS.
file(READ ${PAGE} text)
string(REPLACE ".SS \"Exit status:\"" ".SH \"EXIT STATUS\"" text "${text}")
file(WRITE ${PAGE} "${text}")
