// A small capture the window tests build themselves: a browser at 192.168.1.5 asks for a song, a
// picture, a page and a video, and a page that comes back names another song.
#pragma once
#include <string>

#include "tests/ui/pcap_writer.h"

namespace qv::testing {

inline constexpr Ipv4 kLocal{192, 168, 1, 5};
inline constexpr Ipv4 kServer{10, 0, 0, 1};

inline std::string Get(const std::string& path, const std::string& host) {
  return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: test\r\n\r\n";
}

inline void WriteSampleCapture(const std::string& path) {
  PcapWriter w(path);
  w.Write(TcpFrame(kLocal, 40000, kServer, 80, "", 0x02));  // SYN: tells the local address
  w.Write(TcpFrame(kLocal, 40000, kServer, 80, Get("/music/song.mp3", "music.example")));
  w.Write(TcpFrame(kLocal, 40001, kServer, 80, Get("/pics/photo.jpg", "pics.example")));
  w.Write(TcpFrame(kLocal, 40002, kServer, 80, Get("/index", "www.example")));
  w.Write(TcpFrame(kLocal, 40003, kServer, 8080, Get("/video/clip.flv", "video.example")));
  w.Write(TcpFrame(kServer, 80, kLocal, 40002,
                   "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<a href=\"http://cdn.example/track.mp3\">x</a>"));
  w.Close();
}

}  // namespace qv::testing
