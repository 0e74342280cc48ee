#!/usr/bin/perl
# Writes the agent's icon: a 32 x 32, 32-bit icon of a smart card with its gold contact, drawn
# here so that no binary file lives in the repository.
use strict;
use warnings;

my $out = shift or die "usage: make_icon.pl OUT.ico\n";
my $size = 32;

sub pixel {
    my ($x, $y) = @_;    # y from the top
    my $inCard = $x >= 2 && $x <= 29 && $y >= 7 && $y <= 24;
    return [0, 0, 0, 0] unless $inCard;
    my $edge = $x == 2 || $x == 29 || $y == 7 || $y == 24;
    return [0x40, 0x30, 0x20, 0xFF] if $edge;                            # dark border (B,G,R,A)
    return [0x30, 0xB0, 0xE0, 0xFF] if $x >= 6 && $x <= 12 && $y >= 12 && $y <= 18;    # chip
    return [0xC0, 0x70, 0x20, 0xFF];                                     # blue card body
}

my $xor = '';
for my $row (0 .. $size - 1) {    # bitmaps are stored bottom-up
    my $y = $size - 1 - $row;
    $xor .= pack('C4', @{ pixel($_, $y) }) for 0 .. $size - 1;
}
my $and = "\0" x ($size * $size / 8);    # transparency comes from the alpha channel
my $header = pack('VVVvvVVVVVV', 40, $size, 2 * $size, 1, 32, 0, length($xor) + length($and),
    0, 0, 0, 0);
my $image = $header . $xor . $and;

open(my $fh, '>:raw', $out) or die "$out: $!\n";
print $fh pack('vvv', 0, 1, 1);
print $fh pack('CCCCvvVV', $size, $size, 0, 0, 1, 32, length($image), 6 + 16);
print $fh $image;
close($fh) or die "$out: $!\n";
