"""Relative links of Markdown pages that lead nowhere: to no file, or to a
heading that the page they name does not have (anchors as GitHub makes
them). For the README check, the install check and the package check."""
import os
import posixpath
import re


def prose(markdown):
    """A Markdown page without its code blocks."""
    return re.sub(r"^```.*?^```", "", markdown, flags=re.M | re.S)


def anchors(markdown):
    """The anchors a Markdown page's headings get (GitHub's rule)."""
    return {re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
            for heading in re.findall(r"^#+ (.*)$", prose(markdown), re.M)}


def broken(pages, read, exists):
    """Every relative link of PAGES that leads nowhere. Names are POSIX paths
    from one root; READ(name) gives a page's text, EXISTS(name) says whether
    there is something under that name."""
    found = []
    for page in sorted(pages):
        for target in re.findall(r"\]\(([^)\s]+)\)", prose(read(page))):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            path = posixpath.normpath(posixpath.join(posixpath.dirname(page), path)) if path else page
            if path.startswith("../") or not exists(path):
                found.append(f"{page}: {target} (no {path})")
            elif anchor and path.endswith(".md") and anchor not in anchors(read(path)):
                found.append(f"{page}: {target} (no heading #{anchor} in {path})")
    return found


def broken_in_folder(folder, pages=None):
    """broken() for the Markdown pages under FOLDER (or the PAGES named), whose
    links must stay within it."""
    if pages is None:
        pages = [os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/")
                 for root, _, names in os.walk(folder) for name in names if name.endswith(".md")]

    def read(name):
        with open(os.path.join(folder, name), encoding="utf-8") as page:
            return page.read()

    return broken(pages, read, lambda name: os.path.exists(os.path.join(folder, name)))
