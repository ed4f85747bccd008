#!/usr/bin/env perl
# A Data folder for the scan benchmarks (bench/scan.sh, bench/scan-wine.sh):
#   perl bench/scan-tree.pl DIR FOLDERS FILES_PER_FOLDER
# One perl process makes the whole tree (a touch per file would take minutes): files named as the
# store names them, sparse so that sizes up to 5 MB cost no disk, last written at times spread
# over two years. A few folders carry what else a Data folder holds: an encoded serial, a file
# still arriving (.tmp), one of a hand-copied upper-case .CSV.
use strict;
use warnings;
my ($data, $folders, $per) = @ARGV;
my $start = 1700000000;
srand(42);
mkdir $data or die "$data: $!";
for my $f (0 .. $folders - 1) {
    my $serial = $f % 50 == 7 ? sprintf("OX%05d%%2F%d", $f, $f) : sprintf("OX%05d", 20000 + $f);
    my $dir = "$data/$serial";
    mkdir $dir or die "$dir: $!";
    for my $n (0 .. $per - 1) {
        my $t = $start + int(rand(2 * 365 * 86400));
        my @u = gmtime($t);
        my $name = sprintf("%02d%02d%02d-%02d%02d%02d-%d", $u[5] % 100, $u[4] + 1, $u[3],
                           $u[2], $u[1], $u[0], $n);
        my $ext = $n == 0 && $f % 20 == 3 ? ".CSV" : ".csv";
        open(my $fh, ">", "$dir/$name$ext") or die "$dir/$name$ext: $!";
        close $fh;
        truncate("$dir/$name$ext", int(rand(1) ** 3 * 5_000_000)) or die $!;
        utime($t, $t, "$dir/$name$ext") or die $!;
    }
    if ($f % 40 == 0) {
        open(my $fh, ">", "$dir/999999-999999.tmp") or die $!;
        close $fh;
    }
}
