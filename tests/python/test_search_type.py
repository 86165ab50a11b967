"""SearchType: singleton members, int(), representation and the comparison table."""
import pytest

from vorlane import SearchType


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_members_are_singletons_with_values():
    assert SearchType.Tag is SearchType.Tag
    assert [int(m) for m in (SearchType.Tag, SearchType.Attr, SearchType.Text)] == [0, 1, 2]


@pytest.mark.parametrize("member, text", [(SearchType.Tag, "SearchType.Tag"), (SearchType.Attr, "SearchType.Attr"),
                                          (SearchType.Text, "SearchType.Text")])
def test_repr_and_str(member, text):
    assert repr(member) == text
    assert str(member) == text


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (SearchType.Tag, SearchType.Tag, True),
        (SearchType.Tag, SearchType.Attr, False),
        (SearchType.Attr, 1, True),
        (SearchType.Text, 3, False),
        (SearchType.Attr, True, True),
        (SearchType.Tag, False, True),
        (SearchType.Text, Indexable(2), True),
        (SearchType.Tag, 0.0, False),
        (SearchType.Tag, 2 ** 40, False),
        (SearchType.Tag, -(2 ** 31) - 1, False),
        (SearchType.Tag, "Tag", False),
        (SearchType.Tag, None, False),
    ],
)
def test_equality_table(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)


def test_reflected_integer_comparison():
    assert 1 == SearchType.Attr
    assert 2 != SearchType.Attr


@pytest.mark.parametrize("right", [SearchType.Attr, 1, 0.5])
def test_order_comparisons_refused(right):
    with pytest.raises(TypeError):
        SearchType.Tag < right  # noqa: B015


def test_failing_index_is_discarded():
    class Bad:
        def __index__(self):
            raise RuntimeError("never raised to the caller")

    assert (SearchType.Tag == Bad()) is False


def test_unhashable_and_not_instantiable():
    with pytest.raises(TypeError):
        hash(SearchType.Tag)
    with pytest.raises(TypeError):
        SearchType()
    with pytest.raises(TypeError):
        {SearchType.Tag}


def test_no_index_protocol():
    with pytest.raises(TypeError):
        [1, 2, 3][SearchType.Attr]


def test_class_names():
    assert SearchType.__module__ == "builtins"
    assert SearchType.__qualname__ == "SearchType"


@pytest.mark.parametrize("name", ["Tag", "Attr", "Text", "Other"])
def test_members_cannot_be_rebound_or_added(name):
    before = getattr(SearchType, name, None)
    with pytest.raises(TypeError, match="immutable type"):
        setattr(SearchType, name, 5)
    assert getattr(SearchType, name, None) is before
    if before is not None:
        with pytest.raises(TypeError, match="immutable type"):
            delattr(SearchType, name)
        assert getattr(SearchType, name) is before
