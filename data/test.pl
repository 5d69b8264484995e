#!/usr/bin/perl
# Line test of one unit over its telnet service: logs in, asks for the firmware version, the MAC
# address and the serial number, and prints one verdict line:
#   PASS 127.0.0.10: version V4.02.R11, MAC 00:12:41:00:00:10, serial NVR0001
#   FAIL 127.0.0.10: <reason>
# The verdict is also appended to test.log in the working folder. Exits 0 on PASS, 1 on FAIL.
#
# Usage: perl test.pl <unit address>
# Environment: ZQ_TELNET_PORT (23), ZQ_TELNET_USER ("admin"), ZQ_TELNET_PASSWORD ("").
# Core modules only.
use strict;
use warnings;
use IO::Socket::INET;
use IO::Select;

my $address  = shift @ARGV // '';
my $port     = $ENV{ZQ_TELNET_PORT}     // 23;
my $user     = $ENV{ZQ_TELNET_USER}     // 'admin';
my $password = $ENV{ZQ_TELNET_PASSWORD} // '';
my $wait     = 5;    # seconds for any one answer

sub verdict {
    my ($pass, $text) = @_;
    my $line = ($pass ? 'PASS' : 'FAIL') . " $address: $text";
    print "$line\n";
    if (open(my $log, '>>', 'test.log')) {
        print $log "$line\n";
        close $log;
    }
    exit($pass ? 0 : 1);
}

verdict(0, 'no unit address given') unless $address =~ /^\d{1,3}(?:\.\d{1,3}){3}$/;
verdict(0, "bad port $port") unless $port =~ /^\d+$/ && $port > 0 && $port < 65536;

my $socket = IO::Socket::INET->new(
    PeerAddr => $address,
    PeerPort => $port,
    Proto    => 'tcp',
    Timeout  => $wait,
) or verdict(0, "telnet not reachable on port $port ($!)");
$socket->autoflush(1);
my $select = IO::Select->new($socket);
my $seen   = '';

# Reads until the text seen so far ends with one of @endings; returns what came before it.
sub read_until {
    my @endings = @_;
    my $deadline = time + $wait;
    for (;;) {
        for my $ending (@endings) {
            my $at = rindex($seen, $ending);
            if ($at >= 0 && $at + length($ending) == length($seen)) {
                my $before = substr($seen, 0, $at);
                $seen = '';
                return $before;
            }
        }
        my $left = $deadline - time;
        verdict(0, "no answer within ${wait}s") if $left <= 0;
        next unless $select->can_read($left);
        my $got = sysread($socket, my $chunk, 4096);
        verdict(0, 'the unit closed the connection') unless $got;
        $chunk =~ s/\xff[\xfb-\xfe].//gs;    # telnet option negotiation
        $seen .= $chunk;
    }
}

sub command {
    my ($word) = @_;
    print $socket "$word\r\n";
    my $answer = read_until('# ');
    $answer =~ s/\r//g;
    $answer =~ s/^\s+|\s+$//g;
    verdict(0, "'$word' is not known to the unit") if $answer =~ /not found/;
    return $answer;
}

read_until('login: ');
print $socket "$user\r\n";
read_until('Password: ');
print $socket "$password\r\n";
my $login = read_until('# ', 'login: ');
verdict(0, 'login refused') if $login =~ /Login incorrect/;

my $version = command('version');
my $mac     = command('mac');
my $serial  = command('serial');
print $socket "exit\r\n";
close $socket;

verdict(0, 'no firmware version') if $version eq '';
verdict(0, "bad MAC '$mac'") unless $mac =~ /^(?:[0-9A-F]{2}:){5}[0-9A-F]{2}$/i;
verdict(0, "MAC $mac is not set") if $mac =~ /^(?:00:){5}00$/;
verdict(0, 'no serial number') if $serial eq '';
verdict(1, "version $version, MAC $mac, serial $serial");
