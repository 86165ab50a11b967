"""Read XML into trees of immutable Node objects and write such trees back out as XML."""
from collections.abc import Sequence
from typing import ClassVar, Protocol, TypedDict, final, type_check_only

__all__ = ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]

@type_check_only
class NodeMap(TypedDict):
    """The dictionary form of one node, as `Node.to_dict` returns it and `Node.from_dict` takes it."""

    name: str
    attrs: dict[str, str]
    children: list[NodeMap]
    text: str | None

@type_check_only
class NumpyBool(Protocol):
    """A NumPy boolean scalar (`numpy.bool_`), typed without importing NumPy."""

    def __bool__(self) -> bool: ...
    def item(self) -> bool: ...

@final
class SearchType:
    """What `Node.search` compares: the tag name, an attribute key or the text."""

    Tag: ClassVar[SearchType]
    """Match nodes whose name equals the value."""
    Attr: ClassVar[SearchType]
    """Match nodes that have an attribute with the value as key."""
    Text: ClassVar[SearchType]
    """Match nodes whose text equals the value."""
    def __int__(self) -> int:
        """The member's number: Tag 0, Attr 1, Text 2."""
    def __eq__(self, value: object, /) -> bool:
        """True for the same member, or an int equal to its number."""
    def __ne__(self, value: object, /) -> bool:
        """The negation of ==."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Node:
    """An immutable XML element: a name, attributes, child nodes and an optional text."""

    def __new__(
        cls,
        name: str,
        attrs: dict[str, str] | None = None,
        children: Sequence[Node] | None = None,
        text: str | None = None,
    ) -> Node:
        """A new node; the children are shared, not copied."""
    @property
    def name(self) -> str:
        """The element's tag name."""
    @property
    def text(self) -> str | None:
        """The element's text (all its character data, trimmed), or None when it has none."""
    @property
    def attrs(self) -> dict[str, str]:
        """A new dict of the attributes, in no promised order."""
    @property
    def children(self) -> list[Node]:
        """A new list of the child nodes, in document order."""
    # __to_string(spacing=None) -> str exists at runtime; a double-underscore name
    # in a class body would be mangled, so the stub cannot declare it.
    def search_by_name(self, name: str, depth: int | None = None) -> list[Node]:
        """The descendants (this node included) named `name`, down to `depth` levels."""
    def search_by_attr(self, key: str, depth: int | None = None) -> list[Node]:
        """The descendants (this node included) with an attribute `key`, down to `depth` levels."""
    def search_by_text(self, text: str, depth: int | None = None) -> list[Node]:
        """The descendants (this node included) whose text equals `text`, down to `depth` levels."""
    def search(self, by: SearchType, value: str, depth: int | None = None) -> list[Node]:
        """The descendants (this node included) that match `value` by name, attribute key or text."""
    @classmethod
    def from_dict(cls, dict_: NodeMap) -> Node:
        """A new tree built from the dictionary form that `to_dict` returns."""
    def to_dict(self) -> NodeMap:
        """The whole tree as plain dicts, lists, strings and None."""

def read_string(xml_string: str, root_tag: str) -> Node:
    """The first element named `root_tag`; a ValueError for bad XML carries offset, lineno and colno."""

def read_file(file_path: str, root_tag: str) -> Node:
    """The first element named `root_tag` in the UTF-8 file; ValueErrors also carry the filename."""

def write_string(node: Node, indent: int | None = None, default_xml_def: bool | NumpyBool | None = None) -> str:
    """The tree as XML text, indented by `indent` spaces (4), after an XML declaration unless it is false."""

def write_file(
    node: Node, file_path: str, indent: int | None = None, default_xml_def: bool | NumpyBool | None = None
) -> None:
    """Writes the tree as XML to `file_path`, replacing what the file held; options as for write_string."""
