// Replies of a connection server: each piece of the input is one read on the
// server socket, decoded as the socket layer decodes it and handed to
// ServerMessageHandler with the search window loaded. The first byte sets the
// request that was made (address or registration, search window active).

#define VOXLET_FUZZ_PHONE
#include "fuzz_support.h"

#include "net/socket_layer.h"

using namespace voxlet;
using namespace voxlet::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    InitQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t flags = data[0];
    FuzzPhone fp;
    Phone& phone = *fp.phone;
    AppState& st = phone.st;
    phone.search.Form_Load();
    if (flags & 1)
        phone.search.Form_Activate();
    phone.server.LoadProfile(QStringLiteral("name.txt"));

    std::unique_ptr<SocketPair> exchange;
    for (std::string_view reply : SplitInput(data + 1, size - 1)) {
        if (st.ServerSocket == 0) {
            // The last exchange ended: the next reply belongs to a new one.
            exchange = std::make_unique<SocketPair>();
            st.ServerSocket = exchange->near;
            st.GlobalIpRequest = flags & 2;
        }
        const QString text = DecodeWireText(reply.data(), int(reply.size()));
        phone.server.ServerMessageHandler(text);
        exchange->drain();

        // A list never holds more lines than the client has slots (the 101st
        // is shown before the overflow is noticed).
        FUZZ_CHECK(phone.search.lines().size() <= kWaitingUserSlots);
        if (!text.contains(QLatin1String("SERVEROK")) && text.contains(QLatin1String("ClientData")))
            FUZZ_CHECK(!phone.search.callEnabled()); // a new list waits for a choice
        for (int row : { 0, 1, int(phone.search.lines().size()) - 1, kWaitingUserSlots, 1000 }) {
            phone.search.List1_Click(row);
            FUZZ_CHECK(phone.search.SelectedUser >= 0);
        }
    }
    return 0;
}
