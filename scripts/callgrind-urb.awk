# Splits one callgrind profile (--compress-strings=no --compress-pos=no, collected only
# inside the entry function) into instructions per URB: all of it, what the channel service
# did for it, what the host's callback did with it, and the rest (the server's own code and
# the C and C++ libraries it calls). Used by scripts/urb-instructions.sh.
# Variables (regular expressions but label): entry, the function profiled (its inclusive
# cost is "in all"); handler, the server's function that takes one URB (default: entry;
# its calls count the URBs, and what the entry does outside it is the channel service's
# dispatch); service, the channel service's object file; host, the host callback's
# functions; label, the row's name.
BEGIN { in_call = 0; pending_cob = ""; arcs = 0; if (handler == "") handler = entry }
/^ob=/ { ob = substr($0, 4); next }
/^fn=/ { fn = substr($0, 4); fn_ob[fn] = ob; next }
/^cob=/ { pending_cob = substr($0, 5); next }
/^cfn=/ {
  callee = substr($0, 5)
  callee_ob = pending_cob != "" ? pending_cob : ob
  pending_cob = ""
  next
}
/^calls=/ {
  split(substr($0, 7), parts, " ")
  call_count = parts[1] + 0
  in_call = 1
  next
}
/^[0-9]/ {
  if (in_call) {
    in_call = 0
    key = fn SUBSEP callee
    if (!(key in arc_count)) {
      arc_from[++arcs] = fn
      arc_to[arcs] = callee
      arc_to_ob[arcs] = callee_ob
      arc_from_ob[arcs] = ob
      arc_key[arcs] = key
    }
    arc_count[key] += call_count
    arc_cost[key] += $2 + 0
  }
  next
}
END {
  # The callers of the entry, transitively: their arcs run outside the collected region
  # but carry its cost (the channel service's poll that dispatches the URBs, for one).
  for (i = 1; i <= arcs; i++) if (arc_to[i] ~ entry) outside[arc_from[i]] = 1
  do {
    grown = 0
    for (i = 1; i <= arcs; i++)
      if ((arc_to[i] in outside) && !(arc_from[i] in outside) && arc_from[i] !~ entry) {
        outside[arc_from[i]] = 1
        grown = 1
      }
  } while (grown)
  urbs = 0; total = 0; handled = 0; service_cost = 0; host_cost = 0
  for (i = 1; i <= arcs; i++) {
    key = arc_key[i]
    if (arc_to[i] ~ entry && arc_from[i] !~ entry) total += arc_cost[key]
    if (arc_to[i] ~ handler && arc_from[i] !~ handler) {
      urbs += arc_count[key]
      handled += arc_cost[key]
    }
    if ((arc_from[i] in outside) || (arc_to[i] in outside) || arc_to[i] ~ entry ||
        arc_to[i] ~ handler) continue
    if (arc_to_ob[i] ~ service && arc_from_ob[i] !~ service && arc_from[i] !~ host) {
      service_cost += arc_cost[key]
      service_calls[arc_to[i]] += arc_count[key]
      service_fn_cost[arc_to[i]] += arc_cost[key]
    } else if (arc_to[i] ~ host && arc_from[i] !~ host) {
      host_cost += arc_cost[key]
    }
  }
  if (urbs == 0) {
    printf "%s: no call of the entry was profiled\n", label > "/dev/stderr"
    exit 1
  }
  own = handled - service_cost - host_cost
  printf "%-22s %5d URBs %6.0f Ir/URB: %5.0f server's own, %5.0f channel-service calls, " \
         "%4.0f dispatch, %3.0f host\n", label, urbs, total / urbs, own / urbs,
         service_cost / urbs, (total - handled) / urbs, host_cost / urbs
  n = 0
  for (f in service_calls) names[++n] = f
  for (i = 2; i <= n; i++) {  # insertion sort by cost, largest first
    f = names[i]
    for (j = i - 1; j >= 1 && service_fn_cost[names[j]] < service_fn_cost[f]; j--)
      names[j + 1] = names[j]
    names[j + 1] = f
  }
  calls = 0
  for (i = 1; i <= n; i++) calls += service_calls[names[i]]
  printf "    channel-service calls per URB: %.2f\n", calls / urbs
  for (i = 1; i <= n; i++) {
    f = names[i]
    if (service_calls[f] < urbs / 100) continue  # the session's set-up, not the URBs'
    printf "    %6.2f x %-28s %6.0f Ir each\n", service_calls[f] / urbs, f,
           service_fn_cost[f] / service_calls[f]
  }
}
