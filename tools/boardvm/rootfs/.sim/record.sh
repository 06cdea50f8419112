# record WORDS: appends one line to the board's event log (newlines escaped).
record() { nl='
'; t="$*"; printf '%s\n' "${t//$nl/\\n}" >> /.sim/events.log; }
