#!/usr/bin/perl
# Gives each member of the .deb files named the mode 100644, as dpkg-deb
# does: CPack writes the modes that the umask left on its temporary files.
use strict;
use warnings;
for my $deb (@ARGV) {
    open(my $f, '+<:raw', $deb) or die "$deb: $!\n";
    my ($magic, $header);
    (read($f, $magic, 8) == 8 && $magic eq "!<arch>\n") or die "$deb: not an ar archive\n";
    while (read($f, $header, 60) == 60) {
        my $at = tell($f) - 60;
        my $size = substr($header, 48, 10) =~ s/ +\z//r;
        $size =~ /^\d+$/ or die "$deb: no member header at byte $at\n";
        seek($f, $at + 40, 0) or die "$deb: $!\n";
        print $f sprintf('%-8s', '100644');
        seek($f, $at + 60 + $size + $size % 2, 0) or die "$deb: $!\n";
    }
    close($f) or die "$deb: $!\n";
}
