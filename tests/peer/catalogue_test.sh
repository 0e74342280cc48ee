#!/bin/sh
# Every message the peer's sources mark for translation (Tr, TrNoop) has a Traditional Chinese
# translation that is neither empty nor fuzzy: a new message without one fails here.
# usage: catalogue_test.sh SOURCE-DIR XGETTEXT MSGCMP
set -eu
source_dir=$1
xgettext=$2
msgcmp=$3
pot=$(mktemp)
trap 'rm -f "$pot"' EXIT
"$xgettext" --from-code=UTF-8 --language=C++ --keyword=Tr --keyword=TrNoop --omit-header \
    -o "$pot" "$source_dir"/peer/*.cpp "$source_dir"/peer/*.h
# Errors name the messages without a translation; warnings name the entries no source uses (the
# catalogue's header among them).
"$msgcmp" "$source_dir/peer/po/zh_TW.po" "$pot"
