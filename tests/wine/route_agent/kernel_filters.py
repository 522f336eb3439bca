"""The filters of the test fwpuclnt.dll as nftables rules in the agent's namespace.

Windows decides a new flow at the ALE layers: within one sub-layer the matching filter of the
highest weight wins, and a flow once permitted is not asked again. Emulated here by two chains
(new outbound flows at the connect layers, new inbound ones at the receive-accept layers) that
let established flows pass and try the filters by falling weight; a flow no filter matches is
permitted, as with no filter of ours. What cannot be emulated is said in docs/testing.md.
"""

import subprocess

TABLE = "vantorel_fwp"
ENGINE_GID = 4719  # the group the agent runs the Linux engine in: its "application id"
LOOPBACK_FLAG = 0x1  # FWP_CONDITION_FLAG_IS_LOOPBACK
ICMP_PROTOCOLS = {1: "icmp", 58: "icmpv6"}


class Filter:
    def __init__(self, fields):
        self.id = int(fields.get("id", "0"))
        self.layer = fields.get("layer", "")
        self.permit = fields.get("action") == "permit"
        self.weight = int(fields.get("weight", "0"))
        self.fields = fields

    @property
    def inbound(self):
        return self.layer.startswith("recv_accept")

    @property
    def v6(self):
        return self.layer.endswith("_v6")


def port_range(text):
    low, _, high = text.partition("-")
    return low if not high or high == low else f"{low}-{high}"


def rule(f, link_names):
    """The nft rule of one filter, or None when one of its conditions cannot match here."""
    family = "ip6" if f.v6 else "ip"
    parts = [f"meta nfproto {'ipv6' if f.v6 else 'ipv4'}"]
    fields = f.fields
    protocol = int(fields["protocol"]) if "protocol" in fields else None
    if protocol is not None:
        parts.append(f"meta l4proto {protocol}")
    if "if_index" in fields:
        name = link_names.get(int(fields["if_index"]))
        if name is None:
            return None
        parts.append(f"{'iifname' if f.inbound else 'oifname'} \"{name}\"")
    if "flags_all_set" in fields:
        if int(fields["flags_all_set"]) != LOOPBACK_FLAG:
            return None
        parts.append(f"{'iifname' if f.inbound else 'oifname'} \"lo\"")
    if "remote_address" in fields:
        parts.append(f"{family} {'saddr' if f.inbound else 'daddr'} {fields['remote_address']}")
    # WFP carries an ICMP message's type as the local port and its code as the remote port.
    icmp = ICMP_PROTOCOLS.get(protocol)
    for key, outbound_word, inbound_word, icmp_word in (("local_port", "sport", "dport", "type"),
                                                        ("remote_port", "dport", "sport", "code")):
        if key not in fields:
            continue
        if icmp:
            parts.append(f"{icmp} {icmp_word} {port_range(fields[key])}")
        else:
            if protocol is None:
                parts.append("meta l4proto { tcp, udp }")
            parts.append(f"th {inbound_word if f.inbound else outbound_word} {port_range(fields[key])}")
    if "app_id" in fields:
        if f.inbound:
            return None  # no socket owner is known before the listener takes the packet
        parts.append(f"meta skgid {ENGINE_GID}")
    # One l4proto match is enough; a later repeat would only narrow it again.
    seen, unique = set(), []
    for part in parts:
        if part not in seen:
            seen.add(part)
            unique.append(part)
    return " ".join(unique) + (" accept" if f.permit else " drop") + f" comment \"filter {f.id}\""


def ruleset(filters, link_names):
    """The whole table for a set of filters; "" when there is none (the table is then removed)."""
    if not filters:
        return ""
    chains = {False: [], True: []}
    for f in sorted(filters, key=lambda f: (-f.weight, f.id)):
        text = rule(f, link_names)
        if text is not None:
            chains[f.inbound].append(text)
    out = [f"table inet {TABLE} {{"]
    for inbound, hook in ((False, "output"), (True, "input")):
        out.append(f"\tchain {'recv_accept' if inbound else 'connect'} {{")
        out.append(f"\t\ttype filter hook {hook} priority 0; policy accept;")
        out.append("\t\tct state established,related accept")
        out += [f"\t\t{text}" for text in chains[inbound]]
        out.append("\t}")
    out.append("}")
    return "\n".join(out) + "\n"


def apply(text):
    """Replaces the table with `text` in one nft transaction; the error text or ""."""
    script = f"table inet {TABLE}\ndelete table inet {TABLE}\n" + text
    done = subprocess.run(["nft", "-f", "-"], input=script, capture_output=True, text=True, check=False)
    return done.stderr.strip() if done.returncode != 0 else ""


def remove():
    return apply("")
