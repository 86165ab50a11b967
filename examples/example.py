"""Reads an XML document into vorlane Nodes, searches it, converts it to plain
dictionaries and writes it back out.

Usage: python examples/example.py [FILE [ROOT_TAG]]
Without arguments it reads examples/catalog.xml with the root tag "catalog".
"""
import json
import pathlib
import sys

import vorlane
from vorlane import Node, SearchType


def main(argv: list[str]) -> int:
    default = pathlib.Path(__file__).with_name("catalog.xml")
    path = argv[1] if len(argv) > 1 else str(default)
    root_tag = argv[2] if len(argv) > 2 else "catalog"

    root = vorlane.read_file(path, root_tag)
    print(f"read {path!r}: {root!r} with {len(root.children)} children")
    print()
    print("== the tree, printed for people")
    print(str(root))
    print()

    books = root.search_by_name("book")
    print(f"== search_by_name('book'): {len(books)} found")
    for book in books:
        print(f"  {book.attrs.get('lang', '?')}: {book.text}")
    with_isbn = root.search(SearchType.Attr, "isbn")
    print(f"== elements with an 'isbn' attribute: {len(with_isbn)}")
    print()

    as_dict = root.to_dict()
    print("== to_dict() of the first child")
    print(json.dumps(as_dict["children"][0], indent=2, sort_keys=True, ensure_ascii=False))
    rebuilt = Node.from_dict(as_dict)
    print()

    print("== write_string(Node.from_dict(root.to_dict()), indent=2)")
    print(vorlane.write_string(rebuilt, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
