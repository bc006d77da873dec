#include "platform/AdapterInfo.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/if.h>
#include <linux/ethtool.h>
#include <linux/if_arp.h>
#include <linux/sockios.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <new>

namespace {

// Closes a descriptor when the scope ends.
struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) close(fd);
  }
};

struct LinkInfo {
  std::string name;
  std::string alias;
  std::string kind;
  unsigned flags = 0;
  unsigned short type = 0;
  BYTE address[8] = {0};
  uint32_t addressLength = 0;
};

std::string AttrString(const struct rtattr* rta) {
  const char* p = static_cast<const char*>(RTA_DATA(rta));
  size_t n = RTA_PAYLOAD(rta);
  return std::string(p, strnlen(p, n));
}

std::string Dotted(uint32_t netOrder) {
  char text[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &netOrder, text, sizeof text);
  return text;
}

void ParseLink(const struct nlmsghdr* h, std::map<int, LinkInfo>& links) {
  const auto* ifi = static_cast<const struct ifinfomsg*>(NLMSG_DATA(h));
  LinkInfo link;
  link.flags = ifi->ifi_flags;
  link.type = ifi->ifi_type;
  int len = static_cast<int>(IFLA_PAYLOAD(h));
  for (auto* rta = IFLA_RTA(ifi); RTA_OK(rta, len); rta = RTA_NEXT(rta, len)) {
    switch (rta->rta_type) {
      case IFLA_IFNAME:
        link.name = AttrString(rta);
        break;
      case IFLA_IFALIAS:
        link.alias = AttrString(rta);
        break;
      case IFLA_ADDRESS: {
        size_t n = RTA_PAYLOAD(rta);
        if (n > sizeof link.address) n = sizeof link.address;
        memcpy(link.address, RTA_DATA(rta), n);
        link.addressLength = static_cast<uint32_t>(n);
        break;
      }
      case IFLA_LINKINFO: {
        int inner = static_cast<int>(RTA_PAYLOAD(rta));
        for (auto* k = static_cast<struct rtattr*>(RTA_DATA(rta)); RTA_OK(k, inner); k = RTA_NEXT(k, inner))
          if (k->rta_type == IFLA_INFO_KIND) link.kind = AttrString(k);
        break;
      }
      default:
        break;
    }
  }
  links[ifi->ifi_index] = link;
}

struct AddrInfo {
  int index;
  uint32_t address;
  unsigned prefix;
};

void ParseAddr(const struct nlmsghdr* h, std::vector<AddrInfo>& addrs) {
  const auto* ifa = static_cast<const struct ifaddrmsg*>(NLMSG_DATA(h));
  if (ifa->ifa_family != AF_INET) return;
  bool have = false;
  uint32_t local = 0, address = 0;
  bool haveLocal = false;
  int len = static_cast<int>(IFA_PAYLOAD(h));
  for (auto* rta = IFA_RTA(ifa); RTA_OK(rta, len); rta = RTA_NEXT(rta, len)) {
    if (RTA_PAYLOAD(rta) < 4) continue;
    if (rta->rta_type == IFA_LOCAL) {
      memcpy(&local, RTA_DATA(rta), 4);
      haveLocal = true;
    } else if (rta->rta_type == IFA_ADDRESS) {
      memcpy(&address, RTA_DATA(rta), 4);
      have = true;
    }
  }
  // On a point-to-point link IFA_ADDRESS is the peer; IFA_LOCAL is ours.
  if (haveLocal) {
    address = local;
    have = true;
  }
  if (have) addrs.push_back({static_cast<int>(ifa->ifa_index), address, ifa->ifa_prefixlen});
}

// The driver of a network interface (ethtool's driver information), or ""
// when the interface has no driver that answers. A physical adapter has no
// link kind; its driver is what names it.
std::string DriverName(const std::string& interfaceName) {
  if (interfaceName.empty() || interfaceName.size() >= IFNAMSIZ) return "";
  FdGuard fd{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  if (fd.fd < 0) return "";
  struct ethtool_drvinfo info;
  memset(&info, 0, sizeof info);
  info.cmd = ETHTOOL_GDRVINFO;
  struct ifreq request;
  memset(&request, 0, sizeof request);
  memcpy(request.ifr_name, interfaceName.data(), interfaceName.size());
  request.ifr_data = reinterpret_cast<char*>(&info);
  if (ioctl(fd.fd, SIOCETHTOOL, &request) != 0) return "";
  return std::string(info.driver, strnlen(info.driver, sizeof info.driver));
}

// A request with one fixed body, which starts zeroed. The body follows the
// header without padding (the header's size is a multiple of the alignment).
template <typename Body>
struct NetlinkRequest {
  NetlinkRequest(uint16_t type, uint16_t flags, uint32_t seq) {
    h.nlmsg_len = NLMSG_LENGTH(sizeof(Body));
    h.nlmsg_type = type;
    h.nlmsg_flags = NLM_F_REQUEST | flags;
    h.nlmsg_seq = seq;
  }
  struct nlmsghdr h {};
  Body body{};
};

// Sends one request and hands every answer of its sequence number to reply,
// which returns true once it has set the result. ERROR_INVALID_HANDLE when
// the request could not be sent, ERROR_INVALID_DATA when the answers end
// early.
template <typename Reply>
DWORD Exchange(int fd, const struct nlmsghdr& request, Reply reply) {
  if (send(fd, &request, request.nlmsg_len, 0) < 0) return ERROR_INVALID_HANDLE;
  std::vector<char> buf(32768);
  for (;;) {
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ERROR_INVALID_DATA;
    int len = static_cast<int>(n);
    for (auto* h = reinterpret_cast<struct nlmsghdr*>(buf.data()); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
      DWORD result;
      if (h->nlmsg_seq == request.nlmsg_seq && reply(h, result)) return result;
    }
  }
}

// Sends one dump request and hands every answer message to parse. False when
// the socket failed or the kernel answered with an error.
template <typename Parse>
bool Dump(int fd, uint16_t type, uint16_t replyType, unsigned char family, uint32_t seq, Parse parse) {
  NetlinkRequest<struct rtgenmsg> req(type, NLM_F_DUMP, seq);
  req.body.rtgen_family = family;
  return Exchange(fd, req.h, [&](const struct nlmsghdr* h, DWORD& result) {
           if (h->nlmsg_type == replyType) parse(h);
           result = h->nlmsg_type == NLMSG_DONE ? ERROR_SUCCESS : ERROR_INVALID_DATA;
           return h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR;
         }) == ERROR_SUCCESS;
}

// One dump of the links and one of the IPv4 addresses. ERROR_SUCCESS, or
// the code that the callers pass on when the kernel could not be asked.
DWORD ReadLinksAndAddresses(std::map<int, LinkInfo>& links, std::vector<AddrInfo>& addrs) {
  FdGuard fd{socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)};
  if (fd.fd < 0) return ERROR_INVALID_HANDLE;
  if (!Dump(fd.fd, RTM_GETLINK, RTM_NEWLINK, AF_UNSPEC, 1, [&](const struct nlmsghdr* h) { ParseLink(h, links); }))
    return ERROR_INVALID_DATA;
  if (!Dump(fd.fd, RTM_GETADDR, RTM_NEWADDR, AF_INET, 2, [&](const struct nlmsghdr* h) { ParseAddr(h, addrs); }))
    return ERROR_INVALID_DATA;
  return ERROR_SUCCESS;
}

uint32_t MaskOfPrefix(unsigned prefix) {
  return prefix == 0 ? 0 : htonl(0xFFFFFFFFu << (32 - (prefix > 32 ? 32 : prefix)));
}

// Reads the links and the addresses and hands them to build, which fills out
// and returns the result. out is emptied first, and again when memory runs
// out.
template <typename Entry, typename Build>
DWORD FromLinksAndAddresses(std::vector<Entry>& out, Build build) {
  out.clear();
  try {
    std::map<int, LinkInfo> links;
    std::vector<AddrInfo> addrs;
    const DWORD err = ReadLinksAndAddresses(links, addrs);
    return err != ERROR_SUCCESS ? err : build(links, addrs);
  } catch (const std::bad_alloc&) {
    out.clear();
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

}  // namespace

DWORD GetAdaptersInfo(std::vector<CAdapterInfo>& out) {
  return FromLinksAndAddresses(out, [&](const std::map<int, LinkInfo>& links, const std::vector<AddrInfo>& addrs) {
    bool loopbackUp = false;
    for (const auto& e : links) {
      const LinkInfo& link = e.second;
      if (link.type == ARPHRD_LOOPBACK || (link.flags & IFF_LOOPBACK)) {
        loopbackUp = loopbackUp || (link.flags & IFF_UP);
        continue;
      }
      // Administratively down is a disabled adapter, which Windows leaves out.
      if (!(link.flags & IFF_UP)) continue;
      CAdapterInfo a;
      a.Index = static_cast<uint32_t>(e.first);
      a.AdapterName = link.name;
      a.Description = link.alias;
      if (a.Description.empty()) a.Description = link.kind;
      if (a.Description.empty()) a.Description = DriverName(link.name);
      if (a.Description.empty()) a.Description = link.name;
      memcpy(a.Address, link.address, sizeof a.Address);
      a.AddressLength = link.addressLength;
      bool live = (link.flags & IFF_UP) && (link.flags & IFF_RUNNING);
      if (live)
        for (const auto& ad : addrs)
          if (ad.index == e.first) a.IpAddressList.push_back({Dotted(ad.address), Dotted(MaskOfPrefix(ad.prefix))});
      if (a.IpAddressList.empty()) a.IpAddressList.push_back({"0.0.0.0", "0.0.0.0"});
      out.push_back(a);
    }
    // A Windows host always has its loopback, and the monitor lists it; a
    // Linux namespace has it only once lo is up. So "no data" (the monitor
    // then lists nothing at all) is a namespace without any adapter and
    // without a working loopback, and a host whose only interface is an up
    // loopback gets the loopback entry alone.
    return out.empty() && !loopbackUp ? static_cast<DWORD>(ERROR_NO_DATA) : static_cast<DWORD>(ERROR_SUCCESS);
  });
}

DWORD GetInterfaceAddresses(std::vector<CInterfaceAddress>& out, size_t maxCount) {
  return FromLinksAndAddresses(out, [&](const std::map<int, LinkInfo>& links, const std::vector<AddrInfo>& addrs) {
    for (const AddrInfo& ad : addrs) {
      if (out.size() >= maxCount) break;
      CInterfaceAddress entry;
      entry.Index = static_cast<uint32_t>(ad.index);
      auto link = links.find(ad.index);
      if (link != links.end()) entry.Name = link->second.name;
      entry.Address = ad.address;
      entry.Mask = MaskOfPrefix(ad.prefix);
      entry.AddressText = Dotted(entry.Address);
      entry.MaskText = Dotted(entry.Mask);
      out.push_back(entry);
    }
    return static_cast<DWORD>(ERROR_SUCCESS);
  });
}

DWORD GetNetLinks(std::vector<CNetLink>& out) {
  return FromLinksAndAddresses(out, [&](const std::map<int, LinkInfo>& links, const std::vector<AddrInfo>&) {
    for (const auto& e : links)
      out.push_back({static_cast<uint32_t>(e.first), e.second.name, e.second.alias, (e.second.flags & IFF_UP) != 0});
    return static_cast<DWORD>(ERROR_SUCCESS);
  });
}

namespace {

// Sends one RTM_NEWLINK change of a link and waits for its
// acknowledgement, an NLMSG_ERROR whose code is 0 on success.
DWORD ChangeLink(const struct nlmsghdr& request) {
  FdGuard fd{socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)};
  if (fd.fd < 0) return ERROR_INVALID_HANDLE;
  return Exchange(fd.fd, request, [](const struct nlmsghdr* h, DWORD& result) {
    if (h->nlmsg_type != NLMSG_ERROR) return false;
    const int err = -static_cast<const struct nlmsgerr*>(NLMSG_DATA(h))->error;
    result = err == 0        ? ERROR_SUCCESS
             : err == ENODEV ? ERROR_FILE_NOT_FOUND
             : err == EPERM || err == EACCES ? ERROR_ACCESS_DENIED
                                             : ERROR_INVALID_DATA;
    return true;
  });
}

}  // namespace

DWORD SetNetLinkUp(uint32_t index, bool up) {
  NetlinkRequest<struct ifinfomsg> req(RTM_NEWLINK, NLM_F_ACK, 1);
  req.body.ifi_family = AF_UNSPEC;
  req.body.ifi_index = static_cast<int>(index);
  req.body.ifi_change = IFF_UP;
  req.body.ifi_flags = up ? IFF_UP : 0;
  return ChangeLink(req.h);
}

DWORD SetNetLinkAlias(uint32_t index, const std::string& alias) {
  if (alias.size() >= IFALIASZ) return ERROR_INVALID_DATA;
  struct {
    NetlinkRequest<struct ifinfomsg> link{RTM_NEWLINK, NLM_F_ACK, 1};
    char attributes[RTA_SPACE(IFALIASZ)];
  } req;
  req.link.body.ifi_family = AF_UNSPEC;
  req.link.body.ifi_index = static_cast<int>(index);
  auto* rta = reinterpret_cast<struct rtattr*>(reinterpret_cast<char*>(&req.link.h) + NLMSG_ALIGN(req.link.h.nlmsg_len));
  rta->rta_type = IFLA_IFALIAS;
  rta->rta_len = static_cast<unsigned short>(RTA_LENGTH(alias.size()));
  memcpy(RTA_DATA(rta), alias.data(), alias.size());
  req.link.h.nlmsg_len = NLMSG_ALIGN(req.link.h.nlmsg_len) + RTA_ALIGN(rta->rta_len);
  return ChangeLink(req.link.h);
}

bool CWakeSemaphore::Create(uint32_t initialCount, uint32_t maximumCount) {
  Close();
  m_Fd = eventfd(initialCount, EFD_SEMAPHORE | EFD_CLOEXEC | EFD_NONBLOCK);
  // The monitor releases once per Stop, far below any maximum, so the
  // maximum is taken as documentation and not enforced.
  (void)maximumCount;
  return m_Fd >= 0;
}

bool CWakeSemaphore::Release() {
  if (m_Fd < 0) return false;
  uint64_t one = 1;
  return write(m_Fd, &one, sizeof one) == static_cast<ssize_t>(sizeof one);
}

bool CWakeSemaphore::TryAcquire() {
  if (m_Fd < 0) return false;
  uint64_t v;
  return read(m_Fd, &v, sizeof v) == static_cast<ssize_t>(sizeof v);
}

void CWakeSemaphore::Close() {
  if (m_Fd >= 0) close(m_Fd);
  m_Fd = -1;
}

DWORD CAddrChangeNotify::Request() {
  if (m_Fd >= 0) return ERROR_IO_PENDING;
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return ERROR_INVALID_HANDLE;
  struct sockaddr_nl sa;
  memset(&sa, 0, sizeof sa);
  sa.nl_family = AF_NETLINK;
  sa.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return ERROR_ACCESS_DENIED;
  }
  m_Fd = fd;
  return ERROR_IO_PENDING;
}

void CAddrChangeNotify::Close() {
  if (m_Fd >= 0) close(m_Fd);
  m_Fd = -1;
}

void CAddrChangeNotify::Drain() {
  char buf[8192];
  for (;;) {
    ssize_t n = recv(m_Fd, buf, sizeof buf, MSG_DONTWAIT);
    // ENOBUFS: the kernel dropped messages; the refresh that follows reads
    // the whole state anyway, so the loss does not matter.
    if (n < 0 && (errno == EINTR || errno == ENOBUFS)) continue;
    if (n <= 0) return;
  }
}

CAddrChangeNotify::WaitResult CAddrChangeNotify::Wait(CAddrChangeNotify* notify, CWakeSemaphore& semaphore) {
  struct pollfd fds[2];
  fds[0] = {semaphore.Fd(), POLLIN, 0};
  nfds_t n = 1;
  if (notify && notify->m_Fd >= 0) {
    fds[1] = {notify->m_Fd, POLLIN, 0};
    n = 2;
  }
  for (;;) {
    int r = poll(fds, n, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return WAIT_FAILED;
    }
    if (fds[0].revents) {
      semaphore.TryAcquire();
      return WAIT_WOKEN;
    }
    if (n == 2 && fds[1].revents) {
      notify->Drain();
      return WAIT_NOTIFIED;
    }
  }
}
