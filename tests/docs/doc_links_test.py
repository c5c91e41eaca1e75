#!/usr/bin/env python3
"""Every relative link in README.md and docs/*.md reaches a file or folder of
the tree, and every #anchor a heading of the page it names, with the anchors
GitHub makes from headings (lower case, punctuation dropped, spaces made
hyphens, a repeated one numbered). Parsed with markdown-it, so links in code
are not links."""
import argparse
import glob
import os
import re
import sys
import urllib.parse

from markdown_it import MarkdownIt

PARSER = MarkdownIt("commonmark").enable("table")


def anchors(tokens):
    seen, found = {}, set()
    for before, token in zip(tokens, tokens[1:]):
        if before.type != "heading_open":
            continue
        text = "".join(child.content for child in token.children if child.type in ("text", "code_inline"))
        slug = re.sub(r"[^\w\- ]", "", text.strip().lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else "%s-%d" % (slug, count))
    return found


def links(tokens):
    for token in tokens:
        for child in token.children or ():
            target = child.attrGet("href") if child.type == "link_open" else child.attrGet("src")
            if child.type in ("link_open", "image") and target:
                yield target


def broken(source):
    pages = [os.path.join(source, "README.md")] + sorted(glob.glob(os.path.join(source, "docs", "*.md")))
    parsed = {}

    def tokens_of(page):
        if page not in parsed:
            with open(page, encoding="utf-8") as text:
                parsed[page] = PARSER.parse(text.read())
        return parsed[page]

    for page in pages:
        for target in links(tokens_of(page)):
            if urllib.parse.urlsplit(target).scheme:
                continue  # http:, https:, mailto:
            path, _, anchor = urllib.parse.unquote(target).partition("#")
            linked = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            if not os.path.exists(linked):
                yield "%s: %s: no such file" % (os.path.relpath(page, source), target)
            elif anchor and linked.endswith(".md") and anchor not in anchors(tokens_of(linked)):
                yield "%s: %s: no such heading" % (os.path.relpath(page, source), target)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    faults = list(broken(parser.parse_args().source))
    print("\n".join(faults) or "every link resolves")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
