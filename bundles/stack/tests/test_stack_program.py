import pytest

from korvane_stack import ProgramError
from korvane_stack.program import parse_program


def ops(text):
    return [(i.op, i.operand) for i in parse_program(text.encode()).instructions]


def test_comments_labels_blank_lines_and_crlf():
    text = "# header\r\n\r\nstart: push -3   # three\r\n\tpush +4\r\nloop:jz loop\r\nend:\r\n"
    assert ops(text) == [("push", -3), ("push", 4), ("jz", 2)]
    program = parse_program(text.encode())
    assert dict(program.labels) == {"start": 0, "loop": 2, "end": 3}


def test_byte_order_mark_is_skipped():
    assert ops("\ufeffpush 1\nemit") == [("push", 1), ("emit", None)]


def test_int64_bounds():
    assert ops("push 9223372036854775807\npush -9223372036854775808\npush 000000000000000000000007") == [
        ("push", 2**63 - 1),
        ("push", -(2**63)),
        ("push", 7),
    ]
    for literal in ("9223372036854775808", "-9223372036854775809", "1" * 5000):
        with pytest.raises(ProgramError, match="outside the signed 64-bit range"):
            parse_program(f"push {literal}".encode())


@pytest.mark.parametrize(
    "text, line, fragment",
    [
        ("push 1\nPush 2", 2, "unknown instruction 'Push'"),
        ("push 1\n\npush", 3, "push takes exactly one operand"),
        ("push 1 2", 1, "exactly one operand"),
        ("add 1", 1, "add takes no operand"),
        ("push 1.5", 1, "decimal integer"),
        ("push ١", 1, "decimal integer"),  # non-ASCII digit
        ("push 1_000", 1, "decimal integer"),
        ("jmp nowhere", 1, "undefined label 'nowhere'"),
        ("a: push 1\nb: push 2\na: halt", 3, "label 'a' is already defined"),
        ("9lives: halt", 1, "invalid label name '9lives'"),
        ("jz Loop\nloop: halt", 1, "undefined label 'Loop'"),
    ],
)
def test_program_errors_name_the_line(text, line, fragment):
    with pytest.raises(ProgramError) as caught:
        parse_program(text.encode())
    assert caught.value.line == line
    assert str(caught.value).startswith(f"line {line}: ")
    assert fragment in str(caught.value)
    assert isinstance(caught.value, ValueError)


def test_line_numbers_count_only_line_feeds():
    # Form feed, vertical tab and U+2028 are line breaks to str.splitlines but
    # not to an editor; in a comment they must not shift the numbering.
    with pytest.raises(ProgramError) as caught:
        parse_program("# a\x0cb\x0bc\u2028d\nbogus".encode())
    assert caught.value.line == 2


def test_invalid_utf8_reports_its_line():
    with pytest.raises(ProgramError) as caught:
        parse_program(b"push 1\npush 2\n# \xff\n")
    assert caught.value.line == 3


def test_artifact_must_be_bytes():
    with pytest.raises(TypeError):
        parse_program("push 1")


@pytest.mark.parametrize(
    "source, line, reason",
    [
        (b"jmp 1x", 1, "invalid label name '1x'"),
        (b"halt\npush 99999999999999999999", 2, "integer 99999999999999999999 is outside the signed 64-bit range"),
        (b"push -9223372036854775809", 1, "integer -9223372036854775809 is outside the signed 64-bit range"),
        (b"push 1\n\xff", 2, "program is not valid UTF-8 (byte 7)"),
        (b"\n\npush 1\xc3", 3, "program is not valid UTF-8 (byte 8)"),
        (b"a:b: halt", 1, "unknown instruction 'b:'"),
    ],
)
def test_refusals_name_the_line_and_the_reason(source, line, reason):
    with pytest.raises(ProgramError) as info:
        parse_program(source)
    assert (info.value.line, info.value.reason) == (line, reason)
    assert str(info.value) == f"line {line}: {reason}"


def test_comments_leading_zeros_and_jump_labels():
    program = parse_program(b"push 1 # a # b\npush 0009223372036854775807\nx: jmp x\nemit # c:d")
    assert [(i.op, i.operand, i.line, i.label) for i in program.instructions] == [
        ("push", 1, 1, None),
        ("push", 9223372036854775807, 2, None),
        ("jmp", 2, 3, "x"),
        ("emit", None, 4, None),
    ]
