#!/usr/bin/perl
# Reads every message's BODYSTRUCTURE and ENVELOPE through Mail::IMAPClient
# and prints, per message: number, the part numbers its parser found, the
# body type, and the From addresses. Dies on anything it cannot parse.
# Usage: imap_read_structures.pl <port> <user> <password> <count>
use strict;
use warnings;
use Mail::IMAPClient;

my ($port, $user, $password, $count) = @ARGV;
my $imap = Mail::IMAPClient->new(Server => "127.0.0.1", Port => $port, User => $user,
                                 Password => $password, Uid => 0)
  or die "connect: $@";
$imap->examine("INBOX") or die "examine: " . $imap->LastError;
for my $n (1 .. $count) {
  my $bs = $imap->get_bodystructure($n) or die "bodystructure $n: " . $imap->LastError;
  my $env = $imap->get_envelope($n) or die "envelope $n: " . $imap->LastError;
  print join("\t", $n, join(",", $bs->parts), lc($bs->bodytype . "/" . $bs->bodysubtype),
             join(";", $env->from_addresses)), "\n";
}
$imap->logout;
