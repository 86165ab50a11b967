"""Where a reader error lies: the byte offset of its message, and the line and
column (in characters) a person looks for, on the raised ValueError."""

import pytest

import vorlane


def expected_position(document, offset):
    """Line and column of UTF-8 byte `offset`, computed on the str: lines end at
    LF, columns count characters, both from 1."""
    before = document.encode()[:offset].decode()
    lineno = before.count("\n") + 1
    colno = len(before) - (before.rfind("\n") + 1) + 1
    return lineno, colno


LOCATED = [
    pytest.param("<r><a></r>", "malformed XML at byte 6: expected </a>, found </r>", 6, id="ascii"),
    pytest.param("<r>\u00e9&bad;</r>", "unknown entity reference '&bad;' at byte 5", 5, id="two-byte-char"),
    pytest.param(
        "<r>\u65e5\u672c\U0001f600 <x y=1/></r>",
        "malformed XML at byte 19: value of attribute 'y' is not quoted",
        19,
        id="three-and-four-byte-chars",
    ),
    pytest.param(
        "<r>\r\n  <a>\r\n\u00e9</b></r>",
        "malformed XML at byte 14: expected </a>, found </b>",
        14,
        id="crlf-lines",
    ),
    pytest.param("<r>\n\n<", "malformed XML: Unclosed tag at byte 5", 5, id="last-byte"),
    pytest.param(
        "<r></r><!-- open",
        "malformed XML at byte 16: unexpected end of document",
        16,
        id="offset-equal-to-length",
    ),
    pytest.param(
        "<!DOCTYPE r [\n<!ENTITY e 'x'>\n",
        "malformed XML at byte 0: unterminated document type declaration",
        0,
        id="first-byte",
    ),
]


@pytest.mark.parametrize("document, message, offset", LOCATED)
def test_read_string_error_location(document, message, offset):
    with pytest.raises(ValueError) as caught:
        vorlane.read_string(document, "r")
    error = caught.value
    assert type(error) is ValueError
    assert error.args == (message,)
    assert error.offset == offset
    assert (error.lineno, error.colno) == expected_position(document, offset)
    assert error.filename is None
    if offset < len(document.encode()):
        line = document.split("\n")[error.lineno - 1]
        assert line[error.colno - 1] == document.encode()[offset:].decode()[0]


@pytest.mark.parametrize("document, message, offset", LOCATED)
def test_read_file_error_location_and_filename(document, message, offset, tmp_path):
    path = tmp_path / "doc.xml"
    path.write_bytes(document.encode())
    with pytest.raises(ValueError) as caught:
        vorlane.read_file(str(path), "r")
    error = caught.value
    assert error.args == (message,)
    assert (error.offset, error.lineno, error.colno) == (offset, *expected_position(document, offset))
    assert error.filename == str(path)


@pytest.mark.parametrize(
    "document, message",
    [
        pytest.param("<x/>", "root tag <r> not found in document", id="root-not-found"),
        pytest.param("", "root tag <r> not found in document", id="empty"),
        pytest.param("<r><a>", "unexpected end of document: <a> is never closed", id="never-closed"),
    ],
)
def test_errors_without_position(document, message, tmp_path):
    with pytest.raises(ValueError, match=message) as caught:
        vorlane.read_string(document, "r")
    assert (caught.value.offset, caught.value.lineno, caught.value.colno) == (None, None, None)
    path = tmp_path / "doc.xml"
    path.write_text(document)
    with pytest.raises(ValueError, match=message) as caught:
        vorlane.read_file(str(path), "r")
    assert (caught.value.offset, caught.value.lineno, caught.value.colno) == (None, None, None)
    assert caught.value.filename == str(path)


def test_invalid_utf8_file_is_located(tmp_path):
    path = tmp_path / "latin1.xml"
    path.write_bytes("<r>\n  caf\u00e9 ".encode() + b"\xe9</r>")
    with pytest.raises(ValueError) as caught:
        vorlane.read_file(str(path), "r")
    assert caught.value.args == ("malformed XML at byte 12: invalid UTF-8",)
    assert (caught.value.offset, caught.value.lineno, caught.value.colno) == (12, 2, 8)
    assert caught.value.filename == str(path)
