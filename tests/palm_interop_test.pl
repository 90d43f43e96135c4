#!/usr/bin/perl
# Interoperability with an independent PDB implementation (Debian's
# libpalm-perl): databases it writes are exported and merged by our
# programs, and databases our importer writes are read back by it.
#
# Usage: palm_interop_test.pl TXEXPORT TXIMPORT
use strict;
use warnings;
use File::Temp qw(tempdir);

my ($export, $import) = @ARGV;
die "usage: $0 TXEXPORT TXIMPORT\n" unless defined $import;

unless (eval { require Palm::PDB; require Palm::Raw; require Palm::StdAppInfo; 1 }) {
    print "skipped: Palm::PDB and Palm::StdAppInfo (Debian package libpalm-perl) are not installed\n";
    exit 77;
}

# Records stay raw bytes; the app info block is the standard category part
# followed by the application's own bytes.
package TallixData;
our @ISA = ('Palm::Raw');
sub ParseAppInfoBlock {
    my ($self, $data) = @_;
    my $info = {};
    Palm::StdAppInfo::parse_StdAppInfo($info, $data);
    return $info;
}
sub PackAppInfoBlock { my $self = shift; return Palm::StdAppInfo::pack_StdAppInfo($self->{appinfo}); }
sub ParseRecord { my ($self, %record) = @_; return \%record; }
sub PackRecord { my ($self, $record) = @_; return $record->{data}; }
Palm::PDB::RegisterPDBHandlers('TallixData', ['TalX', 'Data']);

package main;

my ($passed, $failed) = (0, 0);
sub check {
    my ($ok, $what, $detail) = @_;
    if ($ok) { $passed++; print "ok - $what\n"; }
    else { $failed++; print "not ok - $what\n"; print "#   $detail\n" if defined $detail; }
}
sub slurp { my $path = shift; open my $f, '<:raw', $path or die "$path: $!"; local $/; my $d = <$f>; return $d; }
sub spew { my ($path, $data) = @_; open my $f, '>:raw', $path or die "$path: $!"; print $f $data; close $f; }
sub run { my @cmd = @_; my $status = system(@cmd); return $status == -1 ? -1 : $status >> 8; }

my $dir = tempdir(CLEANUP => 1);
my $sep = "~" x 27 . "\n";

# 1. A database written by Palm::PDB, exported and merged by our programs.
my $pdb = TallixData->new({ name => 'PerlMade', type => 'Data', creator => 'TalX', version => 1 });
$pdb->{appinfo} = {};
Palm::StdAppInfo::seed_StdAppInfo($pdb->{appinfo});
my @names = ('Unfiled', 'Business', 'Personal');
for my $i (0 .. 15) {
    $pdb->{appinfo}{categories}[$i] = { name => $names[$i] // '', id => $i < @names ? $i : 0, renamed => 0 };
}
$pdb->{appinfo}{lastUniqueID} = 2;
$pdb->{appinfo}{other} = "\x42" x 34;
my @records = (
    [1, 0, 2, 1, "Quarterly\n100+200"],
    [2, 1, 0, 0, "PIN\n1234"],
    [0, 0, 14, 1, ""],
    [2, 0, 255, 1, "High \xE4\xFF bytes"],
);
for my $r (@records) {
    my ($category, $secret, $places, $strip, $text) = @$r;
    my $record = $pdb->append_Record();
    $record->{category} = $category;
    $record->{attributes} = $secret ? { private => 1 } : {};
    $record->{data} = pack('CC', $places, $strip) . $text . "\0";
}
$pdb->Write("$dir/perl.pdb");
my $bytes = slurp("$dir/perl.pdb");
my $appinfo_at = unpack('N', substr($bytes, 52, 4));
check($appinfo_at == 72 + 6 + 8 * @records + 2, 'Palm::PDB leaves two bytes between the entries and the app info block',
      "app info at $appinfo_at");

my $expected = '';
for my $r (@records) {
    my ($category, $secret, $places, $strip, $text) = @$r;
    $expected .= "Category = \"$names[$category]\"; Secret = $secret\nPlaces = $places; StripZeros = $strip\n$text\n$sep";
}
my $status = run($export, "$dir/perl.pdb", "$dir/perl.txt");
check($status == 0, 'TxExport reads a Palm::PDB database', "status $status");
check(slurp("$dir/perl.txt") eq $expected, 'TxExport gives the exact text of every record');

spew("$dir/edits.txt", "Category = \"Business\"; Secret = 1\nPlaces = 3; StripZeros = 0\nQuarterly\nchanged\n$sep"
                       . "Category = \"Travel\"; Secret = 0\nPlaces = 1; StripZeros = 1\nTickets\n$sep");
$status = system("printf 'y\\n' | '$import' '$dir/perl.pdb' '$dir/edits.txt' '$dir/merged.pdb' >/dev/null") >> 8;
check($status == 0, 'TxImport merges into a Palm::PDB database', "status $status");

# 2. Databases written by TxImport, read by Palm::PDB.
my $merged = TallixData->new();
$merged->Load("$dir/merged.pdb");
my @got = @{$merged->{records}};
check(@got == 5, 'Palm::PDB reads the record count', scalar(@got) . ' records');
my @want = (
    [1, 1, pack('CC', 3, 0) . "Quarterly\nchanged\0"],
    [2, 1, pack('CC', 0, 0) . "PIN\n1234\0"],
    [0, 0, pack('CC', 14, 1) . "\0"],
    [2, 0, pack('CC', 255, 1) . "High \xE4\xFF bytes\0"],
    [3, 0, pack('CC', 1, 1) . "Tickets\0"],
);
for my $i (0 .. $#want) {
    my ($category, $secret, $data) = @{$want[$i]};
    my $r = $got[$i] // {};
    check(($r->{category} // -1) == $category && (($r->{attributes}{private} // 0) ? 1 : 0) == $secret,
          "record $i: category and secret attribute", "category " . ($r->{category} // 'none'));
    check(($r->{data} // '') eq $data, "record $i: bytes", 'got ' . unpack('H*', $r->{data} // ''));
    check(($r->{id} // -1) == 0, "record $i: unique id 0");
}
my @cats = map { $_->{name} } @{$merged->{appinfo}{categories}};
check(join(',', @cats[0 .. 4]) eq 'Unfiled,Business,Personal,Travel,', 'Palm::PDB reads the category names',
      join(',', @cats));
check($merged->{appinfo}{categories}[3]{id} == 3 && $merged->{appinfo}{lastUniqueID} == 3, 'the new category id');
check($merged->{appinfo}{other} eq "\x42" x 34, 'the application part of the block is carried');
check($merged->{name} eq 'PerlMade' && $merged->{version} == 1, 'header fields are carried');

# 3. The shipped example, rewritten by TxImport, read by Palm::PDB.
my $example = $0;
$example =~ s{tests/[^/]+$}{examples/example.pdb};
spew("$dir/none.txt", '');
$status = run($import, $example, "$dir/none.txt", "$dir/example.pdb");
my $ex = TallixData->new();
$ex->Load("$dir/example.pdb");
check($status == 0 && @{$ex->{records}} == 5, 'the rewritten example has its five records');
check(($ex->{records}[1]{attributes}{private} // 0) && $ex->{records}[1]{category} == 2, 'the secret record keeps category and secret');

print "$passed passed, $failed failed\n";
exit($failed ? 1 : 0);
