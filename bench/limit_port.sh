# Sourced by the bench scripts: what a server on PORT sends over the loopback device goes through
# a token bucket (htb; everything else through a class too fast to matter). Root only.
#
#   limit_port PORT RATE BURST   e.g. limit_port 8080 100mbit 256kb; false, with nothing left
#                                set, where tc cannot (the reason in $limit_error)
#   port_sent_bytes              bytes the limited class has sent so far
#   unlimit                      removes the limit
limit_error=
limit_port() {
  limit_error=$(tc qdisc add dev lo root handle 1: htb default 10 2>&1) || return 1
  if limit_error=$({ tc class add dev lo parent 1: classid 1:10 htb rate 100gbit burst 64mb cburst 64mb quantum 60000 &&
      tc class add dev lo parent 1: classid 1:20 htb rate "$2" ceil "$2" burst "$3" cburst "$3" quantum 60000 &&
      tc filter add dev lo parent 1: protocol ip prio 1 u32 match ip sport "$1" 0xffff flowid 1:20; } 2>&1); then
    return 0
  fi
  unlimit
  return 1
}
port_sent_bytes() { tc -s class show dev lo classid 1:20 2>/dev/null | awk '/Sent/{print $2; exit}'; }
unlimit() { tc qdisc del dev lo root handle 1: 2>/dev/null || true; }
