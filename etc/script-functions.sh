# shellcheck shell=sh
# Functions shared by the gateway scripts send, memCard and removeFile,
# which source this file from their own directory:
#
#   setting KEY     the value of KEY in the settings file, as the daemon reads it
#   number TEXT     TEXT read as a number, as the daemon reads one
#   printable TEXT  TEXT fit for one syslog line
#
# Sourced, never run: it is not executable and changes nothing but these
# three names. The settings file is the one that $SETTINGS names.

# setting KEY: the value as the daemon reads it. A line longer than the
# daemon's line buffer (16383 bytes) is read in pieces, each taken as a line
# of its own. Each piece is cut at its first CR (its LF ended it already),
# then at its last double quote; the key is the text before the first "=",
# compared without regard to case; an opening double quote of the value is
# skipped; the first matching line wins. Nothing is printed when no line
# matches or the file cannot be read. The file is never run as shell code.
setting() {
	[ -r "$SETTINGS" ] || return 0
	LC_ALL=C awk -v want="$1" '
	function matches(line) {
		cr = index(line, "\r")
		if (cr) line = substr(line, 1, cr - 1)
		for (i = length(line); i > 0; i--)
			if (substr(line, i, 1) == "\"") { line = substr(line, 1, i - 1); break }
		eq = index(line, "=")
		if (!eq || tolower(substr(line, 1, eq - 1)) != tolower(want)) return 0
		value = substr(line, eq + 1)
		if (substr(value, 1, 1) == "\"") value = substr(value, 2)
		return 1
	}
	{
		rest = $0
		do {
			if (matches(substr(rest, 1, 16383))) { printf "%s", value; exit }
			rest = substr(rest, 16384)
		} while (rest != "")
	}' "$SETTINGS"
}

# number TEXT: TEXT read as the daemon reads a number setting. Leading white
# space is skipped and one sign is accepted, then decimal digits; what
# follows them is ignored. A magnitude beyond 4294967295 reads as
# 4294967295, and a minus sign takes the value modulo 2^32 (-1 reads as
# 4294967295). Text that does not begin with a number reads as 0. The text
# reaches awk through the environment, so no escape in it is interpreted.
number() {
	MS_NUMBER_TEXT="$1" LC_ALL=C awk 'BEGIN {
		text = ENVIRON["MS_NUMBER_TEXT"]
		sub(/^[ \t\n\v\f\r]+/, "", text)
		sign = substr(text, 1, 1)
		if (sign == "-" || sign == "+") text = substr(text, 2)
		if (!match(text, /^[0-9]+/)) { print 0; exit }
		digits = substr(text, 1, RLENGTH)
		sub(/^0+/, "", digits)
		# More than ten digits is beyond 4294967295 whatever they are; awk
		# need not convert them.
		if (length(digits) > 10 || digits + 0 > 4294967295) value = 4294967295
		else if (sign == "-" && digits + 0 > 0) value = 4294967296 - digits
		else value = digits + 0
		# %.0f, as print would write a large number in exponent form.
		printf "%.0f\n", value
	}'
}

# printable TEXT: the text fit for one syslog line. Control characters
# become \n, \t, \r or \xHH and a backslash becomes \\, so a file name
# with a newline in it can neither cut the line nor forge a second one.
printable() {
	printf '%s' "$1" | LC_ALL=C od -An -v -tu1 | LC_ALL=C awk '
	{
		for (i = 1; i <= NF; i++) {
			b = $i + 0
			if (b == 10) out = out "\\n"
			else if (b == 9) out = out "\\t"
			else if (b == 13) out = out "\\r"
			else if (b == 92) out = out "\\\\"
			else if (b < 32 || b == 127) out = out sprintf("\\x%02x", b)
			else out = out sprintf("%c", b)
		}
	}
	END { printf "%s", out }'
}
